#include "app/journal.h"

#include "app/journal_home.h"

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

const char kTooLarge[] = "it is larger than its rewrite could need";
// A journal a thread reuses is cut to its new rewrite's length only when it
// holds more than this of an earlier rewrite's bytes past it.
constexpr uint64_t kStaleBytes = 1u << 20;

const char kMagic[8] = {'E', 'O', 'L', 'S', 'E', 'T', 'J', '3'};
// In a journal's place: a journal whose first write is not whole, or that a
// thread keeps for its next rewrite.
const unsigned char kNoMagic[8] = {};
// Earlier versions' journals, laid out otherwise: kept and named, never acted on.
const char kEarlierMagic[7] = {'E', 'O', 'L', 'S', 'E', 'T', 'J'};
constexpr uint64_t kFactsBytes = offsetof(JournalHead, head_check);
constexpr uint64_t kProgressAt = offsetof(JournalHead, read);
constexpr uint64_t kProgressBytes = sizeof(JournalHead) - kProgressAt;
constexpr uint64_t kMaxPathBytes = 3 * 32767;

// A 64-bit hash of bytes, eight at a time, chained from h.
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

const unsigned char* bytes_of(const void* p) {
    return static_cast<const unsigned char*>(p);
}

// The facts, the path and the first saved bytes.
uint64_t head_check_of(const JournalHead& h, const char* path, const unsigned char* initial) {
    uint64_t c = bytes_hash(0xCBF29CE484222325ull, bytes_of(&h), kFactsBytes);
    c = bytes_hash(c, bytes_of(path), h.path_bytes);
    return bytes_hash(c, initial, h.initial);
}

uint64_t progress_check_of(const JournalHead& h) {
    return bytes_hash(h.head_check, bytes_of(&h) + kProgressAt,
                      offsetof(JournalHead, check) - kProgressAt);
}

// The weight of the eight bytes at file offset 8k: the weight of their
// 64-byte block times a constant for their place in it, both odd, so that no
// change of the eight bytes alone leaves the sum as it was; a block's eight
// words then cost one mixed weight between them.
constexpr uint64_t kPlace[8] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                                0xD6E8FEB86659FD93ull, 0xFF51AFD7ED558CCDull, 0xC4CEB9FE1A85EC53ull,
                                0x94D049BB133111EBull, 0xBF58476D1CE4E5B9ull};

inline uint64_t block_weight(uint64_t b) {
    uint64_t t = (b + 0x632BE59BD9B4E019ull) * 0x9E3779B97F4A7C15ull;
    return (t ^ (t >> 29)) | 1;
}

inline uint64_t weight(uint64_t k) {
    return block_weight(k >> 3) * kPlace[k & 7];
}

// The bytes p[0, n) as they stand in their eight-byte word, from `lane` on.
inline uint64_t part_word(const unsigned char* p, uint64_t n, unsigned lane) {
    uint64_t w = 0;
    for (uint64_t i = 0; i < n; ++i) w |= uint64_t{p[i]} << (8 * (lane + i));
    return w;
}

} // namespace

const char* journal_size_for(const JournalHead& h, uint64_t size, uint64_t file_length) {
    uint64_t top = file_length > h.old_length + h.tail ? file_length : h.old_length + h.tail;
    return size > h.data_at + (top - h.start) + kStaleBytes ? kTooLarge : nullptr;
}

uint64_t journal_region_sum(uint64_t at, const unsigned char* p, uint64_t n) {
    uint64_t k = at >> 3;
    unsigned lane = static_cast<unsigned>(at & 7);
    uint64_t sum = 0;
    if (lane && n) {
        uint64_t m = n < 8 - lane ? n : 8 - lane;
        sum += part_word(p, m, lane) * weight(k++);
        p += m;
        n -= m;
    }
    for (; n >= 8 && (k & 7) != 0; n -= 8, p += 8, ++k) {
        uint64_t w;
        memcpy(&w, p, 8);
        sum += w * weight(k);
    }
    for (; n >= 64; n -= 64, p += 64, k += 8) {
        uint64_t w[8];
        memcpy(w, p, 64);
        uint64_t block = w[0] * kPlace[0] + w[1] * kPlace[1] + w[2] * kPlace[2] + w[3] * kPlace[3] +
                         w[4] * kPlace[4] + w[5] * kPlace[5] + w[6] * kPlace[6] + w[7] * kPlace[7];
        sum += block * block_weight(k >> 3);
    }
    for (; n >= 8; n -= 8, p += 8, ++k) {
        uint64_t w;
        memcpy(&w, p, 8);
        sum += w * weight(k);
    }
    if (n) sum += part_word(p, n, 0) * weight(k);
    return sum;
}

namespace {

// The journal a thread used last, renamed to a spare, for its next rewrite.
struct Spare {
    bool keep;
    FileHandle handle;
    char* name;
    uint64_t size;
};
thread_local Spare t_spare = {false, INVALID_FILE_HANDLE, nullptr, 0};

// Gives the open file a new full path; a name in use is refused.
ErrorCode rename_handle(FileHandle h, const char* path) {
    ArenaAllocator scratch;
    arena_init(&scratch);
    NativeName name{};
    ErrorCode e = native_path_from_path(&scratch, path, &name);
    if (e == 0) {
        uint64_t size = offsetof(NtFileRenameInformation, FileName) + name.Length;
        auto* info =
            static_cast<NtFileRenameInformation*>(arena_allocate(arena_base(&scratch), size + 8));
        if (!info) {
            e = ERROR_OUTOFMEMORY;
        } else {
            memset(info, 0, size);
            info->ReplaceIfExists = 0;
            info->RootDirectory = nullptr;
            info->FileNameLength = name.Length;
            memcpy(info->FileName, name.Buffer, name.Length);
            e = file_set_information(h, FileRenameInformation, info, static_cast<uint32_t>(size));
        }
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

char* name_in(const char* folder, uint64_t hash, int serial, const char* suffix) {
    return format_new(heap_allocator(), "%s%016llx-%d%s", folder,
                      static_cast<unsigned long long>(hash), serial, suffix);
}

// Creates a new spare for `path`, under a name no other file has.
ErrorCode create_spare(Journal* j, const char* path) {
    ErrorCode e = 0;
    uint64_t hash = path_hash(path);
    for (int attempt = 0; attempt < 2; ++attempt) {
        char* folder = journal_shared_folder(attempt > 0, &e);
        if (!folder) return e;
        e = ERROR_FILE_EXISTS;
        for (int serial = 0; serial < 100 && (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS);
             ++serial) {
            mem_free(j->name);
            j->name = name_in(folder, hash, serial, JOURNAL_SPARE_SUFFIX);
            if (!j->name) {
                e = ERROR_OUTOFMEMORY;
                break;
            }
            e = journal_create_private(j->name, false, &j->handle);
        }
        mem_free(folder);
        if (e != ERROR_PATH_NOT_FOUND) break; // else removed meanwhile: made again
    }
    return e;
}

// The spare at j becomes the journal of `path`: renamed to a journal's name
// in the same folder.
ErrorCode name_journal(Journal* j, const char* path) {
    uint64_t n = str_len(j->name);
    while (n > 0 && j->name[n - 1] != '\\') --n;
    char saved = j->name[n];
    j->name[n] = 0;
    uint64_t hash = path_hash(path);
    ErrorCode e = ERROR_FILE_EXISTS;
    char* name = nullptr;
    for (int serial = 0; serial < 100 && (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS);
         ++serial) {
        mem_free(name);
        name = name_in(j->name, hash, serial, JOURNAL_SUFFIX);
        e = name ? rename_handle(j->handle, name) : ERROR_OUTOFMEMORY;
    }
    j->name[n] = saved;
    if (e == 0) {
        mem_free(j->name);
        j->name = name;
    } else {
        mem_free(name);
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
    j->head.head_check = head_check_of(j->head, path, initial);
    j->head.check = progress_check_of(j->head);
    ErrorCode e = 0;
    uint64_t was = 0;
    bool reused = handle_is_valid(t_spare.handle);
    if (reused) {
        j->handle = t_spare.handle;
        j->name = t_spare.name;
        was = t_spare.size;
        t_spare = Spare{t_spare.keep, INVALID_FILE_HANDLE, nullptr, 0};
    } else {
        e = create_spare(j, path);
    }
    uint64_t total = j->head.data_at + n;
    if (e == 0) {
        // Head, path and the first bytes in one write, the magic left out.
        unsigned char* block = static_cast<unsigned char*>(mem_malloc(total));
        if (!block) {
            e = ERROR_OUTOFMEMORY;
        } else {
            memcpy(block, &j->head, sizeof(JournalHead));
            memset(block, 0, sizeof kMagic);
            memcpy(block + sizeof(JournalHead), path, path_bytes);
            if (n) memcpy(block + j->head.data_at, initial, n);
            e = handle_write_at(j->handle, 0, block, total);
            mem_free(block);
        }
        // A journal of a much longer rewrite is cut to what this one holds.
        j->extent = was > total ? was : total;
        if (e == 0 && was > total + kStaleBytes) {
            e = file_set_end(j->handle, total);
            j->extent = total;
        }
        // A new spare takes a journal's name once its first write is whole,
        // and keeps it while the thread reuses it.
        if (e == 0 && !reused) e = name_journal(j, path);
        // The magic comes last: only a journal whose first write is whole
        // has one.
        if (e == 0) e = handle_write_at(j->handle, 0, kMagic, sizeof kMagic);
        if (e == 0) j->written = j->head;
    }
    if (e != 0) {
        if (handle_is_valid(j->handle)) delete_file(j->handle); // a spare's name: no journal
        journal_close(j);
    }
    return e;
}

namespace {

const char* check_head(Journal* j, uint64_t size, char** path) {
    JournalHead& h = j->head;
    if (memcmp(h.magic, kMagic, sizeof kMagic) != 0)
        return memcmp(h.magic, kEarlierMagic, sizeof kEarlierMagic) == 0
                   ? "it was written by another version of eolset"
                   : "it is damaged";
    if (h.path_bytes == 0 || h.path_bytes > kMaxPathBytes ||
        h.data_at != sizeof(JournalHead) + h.path_bytes || h.initial > size ||
        size < h.data_at + h.initial)
        return "it is damaged or shorter than its first write";
    uint64_t n = h.path_bytes + h.initial;
    unsigned char* bytes = static_cast<unsigned char*>(mem_malloc(n + 1));
    if (!bytes) return "out of memory";
    const char* reason = nullptr;
    if (handle_read_at(j->handle, sizeof(JournalHead), bytes, n) != 0)
        reason = "it cannot be read";
    else if (head_check_of(h, reinterpret_cast<const char*>(bytes), bytes + h.path_bytes) !=
             h.head_check)
        reason = "it is damaged";
    else if (progress_check_of(h) != h.check)
        reason = "it is damaged";
    if (reason) {
        mem_free(bytes);
        return reason;
    }
    bytes[h.path_bytes] = 0;
    *path = reinterpret_cast<char*>(bytes);
    return nullptr;
}

// Whether the progress fields describe a state the rewrite can be in, and
// the journal is no longer than that state needs.
const char* check_progress(const JournalHead& h, uint64_t size) {
    bool backward = h.flags & JOURNAL_BACKWARD;
    uint64_t top = h.old_length + h.tail;
    bool sane = h.start <= h.old_length && h.tail < (1ull << 62) && h.old_length < (1ull << 62) &&
                h.read >= h.start && h.read <= h.old_length && h.saved >= h.start &&
                h.saved <= top && (h.flags & ~JOURNAL_FLAGS) == 0 &&
                (h.file_id[0] | h.file_id[1]) != 0;
    if (backward)
        sane = sane && h.tail == 0 && h.end == 0 && h.new_length > h.old_length &&
               h.new_length < (1ull << 62) && h.write >= h.start && h.write <= h.new_length &&
               h.saved <= h.old_length;
    else
        sane = sane && h.write >= h.start && h.write <= top && h.end <= top;
    if (!sane) return "it is damaged";
    // Once the last window is written, the bytes appended meanwhile are saved
    // before the progress counts them: their length is the file's to bound.
    if (journal_tail_unbounded(h)) return nullptr;
    if (size > h.data_at + (top - h.start) + kStaleBytes) return kTooLarge;
    return nullptr;
}

// The saved bytes a later step reads back, against their sum.
const char* check_saved(Journal* j) {
    const JournalHead& h = j->head;
    uint64_t lo = 0, hi = 0;
    journal_live_range(h, &lo, &hi);
    constexpr uint64_t kChunk = 1u << 16;
    unsigned char* buf = static_cast<unsigned char*>(mem_malloc(kChunk));
    if (!buf) return "out of memory";
    uint64_t sum = 0;
    const char* reason = nullptr;
    for (uint64_t p = lo; p < hi && !reason;) {
        uint64_t m = hi - p < kChunk ? hi - p : kChunk;
        if (journal_load(j, p, buf, m) != 0)
            reason = "it is shorter than the bytes it should hold";
        else
            sum += journal_region_sum(p, buf, m);
        p += m;
    }
    mem_free(buf);
    if (!reason && sum != h.saved_sum) reason = "it is damaged";
    return reason;
}

} // namespace

JournalOpen journal_open(Journal* j, const char* name, char** path, const char** reason) {
    *path = nullptr;
    *reason = nullptr;
    j->name = nullptr;
    j->handle = INVALID_FILE_HANDLE;
    ErrorCode e = file_open_native(name, kJournalAccess, kJournalShare, 0, FILE_OPEN,
                                   kJournalOptions, &j->handle, nullptr);
    if (e == ERROR_SHARING_VIOLATION || e == ERROR_FILE_NOT_FOUND) {
        file_close(j->handle);
        j->handle = INVALID_FILE_HANDLE;
        return JOURNAL_BUSY;
    }
    NtFileAttributeTagInformation tag{};
    NtFileStandardInformation standard{};
    if (e != 0)
        *reason = e == ERROR_DIRECTORY || e == ERROR_ACCESS_DENIED ? "it is not a regular file"
                                                                   : "it cannot be opened";
    else if (file_query_information(j->handle, FileAttributeTagInformation, &tag, sizeof tag,
                                    nullptr) != 0 ||
             file_query_information(j->handle, FileStandardInformation, &standard, sizeof standard,
                                    nullptr) != 0)
        *reason = "it cannot be read";
    else if (tag.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))
        *reason = "it is not a regular file";
    else if (!journal_users_own(j->handle, false))
        *reason = "it is not the user's own";
    uint64_t size = static_cast<uint64_t>(standard.EndOfFile);
    unsigned char magic[sizeof kMagic] = {1};
    if (!*reason && size >= sizeof magic &&
        handle_read_at(j->handle, 0, magic, sizeof magic) == 0 &&
        memcmp(magic, kNoMagic, sizeof magic) == 0)
        return JOURNAL_IDLE;
    if (!*reason && size < sizeof(JournalHead)) *reason = "it is shorter than its first write";
    if (!*reason && handle_read_at(j->handle, 0, &j->head, sizeof j->head) != 0)
        *reason = "it cannot be read";
    if (!*reason) *reason = check_head(j, size, path);
    if (!*reason) *reason = check_progress(j->head, size);
    if (!*reason) *reason = check_saved(j);
    if (!*reason) {
        j->name = static_cast<char*>(mem_malloc(str_len(name) + 1));
        if (!j->name) *reason = "out of memory";
    }
    if (*reason) {
        mem_free(*path);
        *path = nullptr;
        journal_close(j);
        return JOURNAL_KEPT;
    }
    memcpy(j->name, name, str_len(name) + 1);
    j->written = j->head;
    j->extent = size;
    return JOURNAL_OPENED;
}

void journal_drop(Journal* j) {
    delete_file(j->handle);
    journal_close(j);
}

bool journal_drop_spare(const char* name) {
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e = file_open_native(name, kJournalAccess, kJournalShare, 0, FILE_OPEN,
                                   kJournalOptions, &h, nullptr);
    uint8_t dispose = 1;
    if (e == 0) e = file_set_information(h, FileDispositionInformation, &dispose, 1);
    file_close(h);
    return e == 0;
}

ErrorCode journal_save(Journal* j, uint64_t offset, const unsigned char* bytes, uint64_t n) {
    uint64_t at = j->head.data_at + (offset - j->head.start);
    if (at + n > j->extent) j->extent = at + n;
    return handle_write_at(j->handle, at, bytes, n);
}

ErrorCode journal_load(Journal* j, uint64_t offset, unsigned char* bytes, uint64_t n) {
    return handle_read_at(j->handle, j->head.data_at + (offset - j->head.start), bytes, n);
}

ErrorCode journal_progress(Journal* j) {
    j->head.check = progress_check_of(j->head);
    const unsigned char* now = reinterpret_cast<unsigned char*>(&j->head) + kProgressAt;
    unsigned char* last = reinterpret_cast<unsigned char*>(&j->written) + kProgressAt;
    if (memcmp(now, last, kProgressBytes) == 0) return 0;
    ErrorCode e = handle_write_at(j->handle, kProgressAt, now, kProgressBytes);
    if (e == 0) memcpy(last, now, kProgressBytes);
    return e;
}

ErrorCode journal_remove(Journal* j) {
    if (t_spare.keep && !handle_is_valid(t_spare.handle)) {
        // Without its magic it is no journal any more, only the thread's
        // idle one: its next rewrite writes it over, a later run deletes it.
        if (handle_write_at(j->handle, 0, kNoMagic, sizeof kNoMagic) == 0) {
            t_spare.handle = j->handle;
            t_spare.name = j->name;
            t_spare.size = j->extent;
            j->handle = INVALID_FILE_HANDLE;
            j->name = nullptr;
            return 0;
        }
    }
    uint8_t dispose = 1;
    ErrorCode e = file_set_information(j->handle, FileDispositionInformation, &dispose, 1);
    journal_close(j);
    return e;
}

void journal_keep_spare(bool keep) {
    t_spare.keep = keep;
    if (keep || !handle_is_valid(t_spare.handle)) return;
    delete_file(t_spare.handle);
    file_close(t_spare.handle);
    mem_free(t_spare.name);
    t_spare = Spare{false, INVALID_FILE_HANDLE, nullptr, 0};
}

void journal_close(Journal* j) {
    file_close(j->handle);
    j->handle = INVALID_FILE_HANDLE;
    mem_free(j->name);
    j->name = nullptr;
}

namespace {

bool ends_with_folded(const char* name, const char* suffix, uint64_t s) {
    uint64_t n = str_len(name);
    if (n < s) return false;
    for (uint64_t i = 0; i < s; ++i) {
        char c = name[n - s + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

} // namespace

bool is_journal_proper_name(const char* name) {
    return ends_with_folded(name, JOURNAL_SUFFIX, sizeof JOURNAL_SUFFIX - 1);
}

bool is_journal_name(const char* name) {
    return is_journal_proper_name(name) ||
           ends_with_folded(name, JOURNAL_SPARE_SUFFIX, sizeof JOURNAL_SPARE_SUFFIX - 1);
}
