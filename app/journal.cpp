#include "app/journal.h"

#include "base/alloc.h"
#include "base/fileinfo.h"
#include "base/format.h"
#include "base/native.h"
#include "base/runtime/lock.h"
#include "base/transfer.h"
#include "base/utf.h"
#include "platform/nt.h"

#include <cstring>

namespace {

const char kMagic[8] = {'E', 'O', 'L', 'S', 'E', 'T', 'J', '2'};
// The first version's journals, laid out otherwise: kept and named, never acted on.
const char kFirstMagic[8] = {'E', 'O', 'L', 'S', 'E', 'T', 'J', '1'};
constexpr uint64_t kProgressAt = offsetof(JournalHead, read);
constexpr uint64_t kProgressBytes = sizeof(JournalHead) - kProgressAt;

uint64_t progress_check(const JournalHead& h) {
    return (h.read * 0x9E3779B97F4A7C15ull) ^ (h.write + 0x632BE59BD9B4E019ull) ^
           (h.saved * 0xC2B2AE3D27D4EB4Full) ^ (h.probe << 17) ^ h.flags ^
           (h.end * 0x165667B19E3779F9ull);
}

// A 64-bit hash of bytes, eight at a time.
uint64_t bytes_hash(uint64_t h, const unsigned char* p, uint64_t n) {
    uint64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        memcpy(&word, p + i, 8);
        h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
    return h ^ (h >> 32) ^ n;
}

uint64_t data_check_of(const char* path, uint64_t path_bytes, const unsigned char* initial,
                       uint64_t n) {
    uint64_t h =
        bytes_hash(0xCBF29CE484222325ull, reinterpret_cast<const unsigned char*>(path), path_bytes);
    return bytes_hash(h, initial, n);
}

// The journal a thread used last, blanked, for its next rewrite.
struct Spare {
    bool keep;
    FileHandle handle;
    char* name;
};
thread_local Spare t_spare = {false, INVALID_FILE_HANDLE, nullptr};

// Owner-only access. On Windows the state folder lies in the user's profile,
// whose access list already admits only the user (and the system and its
// administrators): journals take that one. The stand-in makes an object for
// its owner alone when a descriptor comes with the call: this one, one entry
// granting everything to the owner (S-1-3-4), none inherited.
#ifndef _WIN32
struct OwnerOnly {
    struct {
        uint8_t revision, sbz1;
        uint16_t size, count, sbz2;
    } acl;
    struct {
        uint8_t type, flags;
        uint16_t size;
        uint32_t mask;
        uint8_t sid_revision, sub_count, authority[6];
        uint32_t sub[1];
    } ace;
};
struct AbsoluteDescriptor {
    uint8_t revision, sbz1;
    uint16_t control;
    void* owner;
    void* group;
    void* sacl;
    void* dacl;
};

OwnerOnly g_owner_only = {
    {2, 0, sizeof(OwnerOnly), 1, 0},
    {0, 0x3, sizeof(OwnerOnly::ace), 0x1F01FF, 1, 1, {0, 0, 0, 0, 0, 3}, {4}}};
AbsoluteDescriptor g_descriptor = {
    1, 0, 0x1004 /* DACL present, protected */, nullptr, nullptr, nullptr, &g_owner_only};
#endif

// Creates a file (exclusively) or opens or creates a folder, owner-only.
ErrorCode create_private(const char* path, bool folder, FileHandle* out) {
    ArenaAllocator scratch;
    arena_init(&scratch);
    NativeName name{};
    ErrorCode e = native_path_from_path(&scratch, path, &name);
    if (e == 0) {
        uint32_t access = folder ? FILE_LIST_DIRECTORY | SYNCHRONIZE
                                 : FILE_READ_DATA | FILE_WRITE_DATA | DELETE | SYNCHRONIZE;
        uint32_t options =
            FILE_SYNCHRONOUS_IO_NONALERT | (folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
#ifdef _WIN32
        void* security = nullptr;
#else
        void* security = &g_descriptor;
#endif
        // No other writer: a run that meets the journal of one still going
        // (another process) cannot open it, and leaves it to that run.
        uint32_t share = folder ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                : FILE_SHARE_READ | FILE_SHARE_DELETE;
        e = native_create_secure(&name, access, share, FILE_ATTRIBUTE_NORMAL,
                                 folder ? FILE_OPEN_IF : FILE_CREATE, options, security, out,
                                 nullptr);
    }
    arena_release(&scratch);
    return e;
}

// The 64-bit FNV-1a hash of a path, for a journal name that tells files apart.
uint64_t path_hash(const char* path) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (const char* p = path; *p; ++p) h = (h ^ static_cast<unsigned char>(*p)) * 0x100000001B3ull;
    return h;
}

// Creates the folder `path` (with a closing backslash) and, when needed, up
// to `depth` folders above it.
ErrorCode make_folder(char* path, int depth) {
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e = create_private(path, true, &h);
    if (e == ERROR_PATH_NOT_FOUND && depth > 0) {
        uint64_t n = str_len(path);
        uint64_t cut = n - 1;
        while (cut > 0 && path[cut - 1] != '\\') --cut;
        if (cut > 3) {
            char saved = path[cut];
            path[cut] = 0;
            e = make_folder(path, depth - 1);
            path[cut] = saved;
            if (e == 0) e = create_private(path, true, &h);
        }
    }
    file_close(h);
    return e;
}

// The state folder as the run's first journal found or made it, shared by
// the threads that rewrite files.
char* g_folder;
LightLock g_folder_lock;

// The state folder, found or made on first use; null with *error set.
// The caller owns the copy (mem_malloc).
char* shared_folder(bool make_again, ErrorCode* error) {
    light_lock(&g_folder_lock);
    if (make_again) {
        mem_free(g_folder);
        g_folder = nullptr;
    }
    if (!g_folder) g_folder = journal_folder(true, error);
    char* copy = nullptr;
    if (g_folder) {
        uint64_t n = str_len(g_folder) + 1;
        copy = static_cast<char*>(mem_malloc(n));
        if (copy)
            memcpy(copy, g_folder, n);
        else
            *error = ERROR_OUTOFMEMORY;
    }
    light_unlock(&g_folder_lock);
    return copy;
}

} // namespace

void journal_forget_folder() {
    light_lock(&g_folder_lock);
    mem_free(g_folder);
    g_folder = nullptr;
    light_unlock(&g_folder_lock);
}

char* journal_folder(bool create, ErrorCode* error) {
    char16_t wide[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(u"LOCALAPPDATA"),
                                      reinterpret_cast<LPWSTR>(wide), MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        *error = n == 0 ? ERROR_ENVVAR_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    char* base = utf16_to_utf8_alloc(heap_allocator(), wide, n);
    if (!base) {
        *error = ERROR_OUTOFMEMORY;
        return nullptr;
    }
    uint64_t length = str_len(base);
    const char* sep = length && base[length - 1] == '\\' ? "" : "\\";
    char* folder = format_new(heap_allocator(), "%s%seolset\\", base, sep);
    mem_free(base);
    if (!folder) {
        *error = ERROR_OUTOFMEMORY;
        return nullptr;
    }
    *error = create ? make_folder(folder, 2) : 0;
    if (*error != 0) {
        mem_free(folder);
        return nullptr;
    }
    return folder;
}

namespace {

// Creates a new journal file for `path`, under a name no other has.
ErrorCode create_file(Journal* j, const char* path) {
    ErrorCode e = 0;
    uint64_t hash = path_hash(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        char* folder = shared_folder(attempt > 0, &e);
        if (!folder) return e;
        e = ERROR_FILE_EXISTS;
        for (int serial = 0; serial < 100 && (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS);
             ++serial) {
            mem_free(j->name);
            j->name = format_new(heap_allocator(), "%s%016llx-%d%s", folder,
                                 static_cast<unsigned long long>(hash), serial, JOURNAL_SUFFIX);
            if (!j->name) {
                e = ERROR_OUTOFMEMORY;
                break;
            }
            e = create_private(j->name, false, &j->handle);
        }
        mem_free(folder);
        if (e != ERROR_PATH_NOT_FOUND) break; // else removed meanwhile: made again
    }
    return e;
}

void delete_file(FileHandle h) {
    uint8_t dispose = 1;
    file_set_information(h, FileDispositionInformation, &dispose, 1);
}

} // namespace

ErrorCode journal_create(Journal* j, const char* path, const JournalHead* head,
                         const unsigned char* initial, uint64_t n) {
    j->handle = INVALID_FILE_HANDLE;
    j->name = nullptr;
    j->head = *head;
    memcpy(j->head.magic, kMagic, sizeof kMagic);
    uint64_t path_bytes = str_len(path);
    j->head.path_bytes = static_cast<uint32_t>(path_bytes);
    j->head.data_at = sizeof(JournalHead) + path_bytes;
    j->head.initial = n;
    j->head.data_check = data_check_of(path, path_bytes, initial, n);
    j->head.check = progress_check(j->head);
    ErrorCode e = 0;
    bool reused = handle_is_valid(t_spare.handle);
    if (reused) {
        j->handle = t_spare.handle;
        j->name = t_spare.name;
        t_spare.handle = INVALID_FILE_HANDLE;
        t_spare.name = nullptr;
    } else {
        e = create_file(j, path);
    }
    if (e == 0) {
        // Head, path and the first bytes in one write: a journal is never
        // seen without them, and a write cut short fails the hash.
        uint64_t total = j->head.data_at + n;
        unsigned char* block = static_cast<unsigned char*>(mem_malloc(total));
        if (!block) {
            e = ERROR_OUTOFMEMORY;
        } else {
            memcpy(block, &j->head, sizeof(JournalHead));
            memcpy(block + sizeof(JournalHead), path, path_bytes);
            if (n) memcpy(block + j->head.data_at, initial, n);
            e = handle_write_at(j->handle, 0, block, total);
            mem_free(block);
        }
        if (e == 0) j->written = j->head;
        if (e != 0) journal_remove(j);
    }
    if (e != 0) {
        file_close(j->handle);
        j->handle = INVALID_FILE_HANDLE;
        mem_free(j->name);
        j->name = nullptr;
    }
    return e;
}

namespace {

// Whether the journal's first write came in whole: its path and first
// bytes match their hash. A head too broken to tell passes, for the checks
// that follow to refuse.
bool initial_intact(Journal* j) {
    const JournalHead& h = j->head;
    if (h.path_bytes > 0x40000 || h.data_at != sizeof(JournalHead) + h.path_bytes ||
        h.initial > (1ull << 32))
        return true;
    uint64_t n = h.data_at + h.initial - sizeof(JournalHead);
    unsigned char* bytes = static_cast<unsigned char*>(mem_malloc(n ? n : 1));
    if (!bytes) return true;
    bool intact = handle_read_at(j->handle, sizeof(JournalHead), bytes, n) == 0 &&
                  data_check_of(reinterpret_cast<const char*>(bytes), h.path_bytes,
                                bytes + h.path_bytes, h.initial) == h.data_check;
    mem_free(bytes);
    return intact;
}

} // namespace

ErrorCode journal_open(Journal* j, const char* name, char** path) {
    *path = nullptr;
    j->name = nullptr;
    ErrorCode e = file_open_native(name, FILE_READ_DATA | FILE_WRITE_DATA | DELETE | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, 0, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                   &j->handle, nullptr);
    if (e != 0) return e;
    e = handle_read_at(j->handle, 0, &j->head, sizeof j->head);
    bool first_version = e == ERROR_HANDLE_EOF || e == 0;
    first_version = first_version && memcmp(j->head.magic, kFirstMagic, sizeof kFirstMagic) == 0;
    if (first_version) {
        e = ERROR_INVALID_DATA;
    } else if ((e == ERROR_HANDLE_EOF || e == 0) &&
               (e != 0 || memcmp(j->head.magic, kMagic, sizeof kMagic) != 0 ||
                !initial_intact(j))) {
        // Its head was never written whole, so no byte of its file was
        // overwritten either: nothing to finish.
        delete_file(j->handle);
        journal_close(j);
        return ERROR_NO_DATA;
    }
    j->written = j->head;
    if (e == 0 && (j->head.check != progress_check(j->head) || j->head.path_bytes > 0x40000 ||
                   j->head.data_at < sizeof(JournalHead) + j->head.path_bytes))
        e = ERROR_INVALID_DATA;
    if (e == 0) {
        *path = static_cast<char*>(mem_malloc(j->head.path_bytes + 1));
        j->name = static_cast<char*>(mem_malloc(str_len(name) + 1));
        if (!*path || !j->name) e = ERROR_OUTOFMEMORY;
    }
    if (e == 0) {
        memcpy(j->name, name, str_len(name) + 1);
        e = handle_read_at(j->handle, sizeof(JournalHead), *path, j->head.path_bytes);
        (*path)[j->head.path_bytes] = 0;
    }
    if (e != 0) {
        mem_free(*path);
        *path = nullptr;
        journal_close(j);
    }
    return e;
}

ErrorCode journal_save(Journal* j, uint64_t offset, const unsigned char* bytes, uint64_t n) {
    return handle_write_at(j->handle, j->head.data_at + (offset - j->head.start), bytes, n);
}

ErrorCode journal_load(Journal* j, uint64_t offset, unsigned char* bytes, uint64_t n) {
    return handle_read_at(j->handle, j->head.data_at + (offset - j->head.start), bytes, n);
}

ErrorCode journal_progress(Journal* j) {
    j->head.check = progress_check(j->head);
    const unsigned char* now = reinterpret_cast<unsigned char*>(&j->head) + kProgressAt;
    unsigned char* last = reinterpret_cast<unsigned char*>(&j->written) + kProgressAt;
    if (memcmp(now, last, kProgressBytes) == 0) return 0;
    ErrorCode e = handle_write_at(j->handle, kProgressAt, now, kProgressBytes);
    if (e == 0) memcpy(last, now, kProgressBytes);
    return e;
}

ErrorCode journal_remove(Journal* j) {
    const char blank[sizeof kMagic] = {};
    ErrorCode e;
    if (t_spare.keep && !handle_is_valid(t_spare.handle)) {
        // Blanked, it is one the next run deletes without acting on it.
        e = handle_write_at(j->handle, 0, blank, sizeof blank);
        if (e == 0) {
            t_spare.handle = j->handle;
            t_spare.name = j->name;
            j->handle = INVALID_FILE_HANDLE;
            j->name = nullptr;
            return 0;
        }
    }
    // Should the delete fail, the blanked head keeps the next run from acting on it.
    uint8_t dispose = 1;
    e = file_set_information(j->handle, FileDispositionInformation, &dispose, 1);
    if (e != 0 && handle_write_at(j->handle, 0, blank, sizeof blank) == 0) e = 0;
    journal_close(j);
    return e;
}

void journal_keep_spare(bool keep) {
    t_spare.keep = keep;
    if (keep || !handle_is_valid(t_spare.handle)) return;
    delete_file(t_spare.handle);
    file_close(t_spare.handle);
    t_spare.handle = INVALID_FILE_HANDLE;
    mem_free(t_spare.name);
    t_spare.name = nullptr;
}

void journal_close(Journal* j) {
    file_close(j->handle);
    j->handle = INVALID_FILE_HANDLE;
    mem_free(j->name);
    j->name = nullptr;
}

bool is_journal_name(const char* name) {
    uint64_t n = str_len(name);
    uint64_t s = sizeof JOURNAL_SUFFIX - 1;
    if (n < s) return false;
    for (uint64_t i = 0; i < s; ++i) {
        char c = name[n - s + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != JOURNAL_SUFFIX[i]) return false;
    }
    return true;
}
