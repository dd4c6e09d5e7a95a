#include "app/journal_home.h"

#include "base/alloc.h"
#include "base/format.h"
#include "base/native.h"
#include "base/path.h"
#include "base/runtime/lock.h"
#include "base/utf.h"

#include <cstring>

namespace {

// An access list of one entry: allowed, with its SID.
struct OneEntry {
    struct {
        uint8_t revision, sbz1;
        uint16_t size, count, sbz2;
    } acl;
    struct {
        uint8_t type, flags;
        uint16_t size;
        uint32_t mask;
    } ace;
    unsigned char sid[72];
};
constexpr uint16_t kOwnerRightsEntry = sizeof(OneEntry::ace) + 12;
struct AbsoluteDescriptor {
    uint8_t revision, sbz1;
    uint16_t control;
    void* owner;
    void* group;
    void* sacl;
    void* dacl;
};

// Owner-only access: one entry granting everything to the owner (OWNER
// RIGHTS, S-1-3-4), inherited by what the folder holds, none from above. A
// folder is made so on both systems (on Windows naming the user instead:
// folder_security), as it may lie outside the user's profile (a %TEMP% of
// C:\Temp, say, lets every user in). On Windows a journal takes its
// folder's entries; the stand-in gives each object its own.
OneEntry g_owner_only = {{2, 0, sizeof(OneEntry::acl) + kOwnerRightsEntry, 1, 0},
                         {0, 0x3, kOwnerRightsEntry, 0x1F01FF},
                         {1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0}};
AbsoluteDescriptor g_descriptor = {
    1, 0, 0x1004 /* DACL present, protected */, nullptr, nullptr, nullptr, &g_owner_only};

// --- who may write the journals ---------------------------------------------

// A SID as the system lays it out: revision, count, authority, sub-authorities.
uint64_t sid_bytes(const unsigned char* sid) {
    return 8 + 4 * uint64_t{sid[1]};
}

bool sid_is(const unsigned char* sid, const unsigned char* other) {
    return other && sid[1] == other[1] && memcmp(sid, other, sid_bytes(sid)) == 0;
}

// The SIDs of the user running the process and of the owner it gives new
// objects (an administrator's may be the Administrators group), read once.
struct UserSids {
    unsigned char user[72];
    unsigned char owner[72];
    bool known;
};
UserSids g_user;
LightLock g_user_lock;

bool read_token_sid(HANDLE token, ULONG cls, unsigned char* out) {
    alignas(8) unsigned char buf[128];
    ULONG got = 0;
    if (NtQueryInformationToken(token, cls, buf, sizeof buf, &got) < 0) return false;
    const unsigned char* sid = nullptr;
    memcpy(&sid, buf, sizeof sid);
    if (!sid || sid < buf || sid + 8 > buf + got || sid[1] > 15 || sid + sid_bytes(sid) > buf + got)
        return false;
    memcpy(out, sid, sid_bytes(sid));
    return true;
}

bool user_sids(UserSids* out) {
    light_lock(&g_user_lock);
    if (!g_user.known) {
        HANDLE token = nullptr;
        if (NtOpenProcessToken(reinterpret_cast<HANDLE>(~uintptr_t{0}), kTokenQuery, &token) >= 0) {
            g_user.known = read_token_sid(token, kTokenUser, g_user.user);
            if (!read_token_sid(token, kTokenOwner, g_user.owner))
                memcpy(g_user.owner, g_user.user, sizeof g_user.owner);
#ifdef _WIN32
            NtClose(token);
#endif
        }
    }
    *out = g_user;
    light_unlock(&g_user_lock);
    return out->known;
}

// Whether a SID may write where the user keeps journals: the user, the
// system (S-1-5-18), the administrators (S-1-5-32-544), and the owner
// placeholders CREATOR OWNER (S-1-3-0) and OWNER RIGHTS (S-1-3-4).
bool sid_trusted(const unsigned char* sid, const UserSids& u, const unsigned char* owner) {
    static const unsigned char kSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    static const unsigned char kAdmins[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
    static const unsigned char kCreatorOwner[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
    static const unsigned char kOwnerRights[] = {1, 1, 0, 0, 0, 0, 0, 3, 4, 0, 0, 0};
    return sid_is(sid, u.user) || sid_is(sid, u.owner) || sid_is(sid, owner) ||
           sid_is(sid, kSystem) || sid_is(sid, kAdmins) || sid_is(sid, kCreatorOwner) ||
           sid_is(sid, kOwnerRights);
}

#ifdef _WIN32
// On Windows the one entry names the user: Wine keeps a folder's security
// as its Unix mode, where an entry for OWNER RIGHTS would grant no one.
// The descriptor for a new folder, in *d, its access list in *acl.
void* folder_security(OneEntry* acl, AbsoluteDescriptor* d) {
    UserSids u;
    if (!user_sids(&u)) return &g_descriptor;
    uint16_t sid = static_cast<uint16_t>(sid_bytes(u.user));
    uint16_t ace = static_cast<uint16_t>(sizeof acl->ace + sid);
    acl->acl = {2, 0, static_cast<uint16_t>(sizeof acl->acl + ace), 1, 0};
    acl->ace = {0, 0x3, ace, 0x1F01FF};
    memcpy(acl->sid, u.user, sid);
    *d = g_descriptor;
    d->dacl = acl;
    return d;
}
#endif

} // namespace

bool journal_users_own(FileHandle h, bool folder) {
    UserSids u;
    if (!user_sids(&u)) return false;
    alignas(8) unsigned char sd[4096];
    ULONG got = 0;
    ULONG what = kOwnerSecurityInformation | (folder ? kDaclSecurityInformation : 0);
    if (NtQuerySecurityObject(to_native(h), what, sd, sizeof sd, &got) < 0 || got > sizeof sd ||
        got < 20)
        return false;
    uint16_t control;
    uint32_t owner_at, dacl_at;
    memcpy(&control, sd + 2, 2);
    memcpy(&owner_at, sd + 4, 4);
    memcpy(&dacl_at, sd + 16, 4);
    if (owner_at == 0 || owner_at + 8 > got || owner_at + sid_bytes(sd + owner_at) > got)
        return false;
    const unsigned char* owner = sd + owner_at;
    if (!sid_is(owner, u.user) && !sid_is(owner, u.owner)) return false;
    if (!folder) return true;
    // No access list lets everyone in.
    if (!(control & 0x4) || dacl_at == 0 || dacl_at + 8 > got) return false;
    uint16_t count;
    memcpy(&count, sd + dacl_at + 4, 2);
    constexpr uint32_t kWrites = 0x2 /* add file */ | 0x4 /* add folder */ |
                                 0x40 /* delete child */ | 0x10000 /* delete */ |
                                 0x40000 /* write DAC */ | 0x80000 /* write owner */ |
                                 0x10000000 /* all */ | 0x40000000 /* write */;
    uint64_t at = dacl_at + 8;
    for (uint16_t i = 0; i < count; ++i) {
        if (at + 8 > got) return false;
        uint8_t type = sd[at], flags = sd[at + 1];
        uint16_t size;
        uint32_t mask;
        memcpy(&size, sd + at + 2, 2);
        memcpy(&mask, sd + at + 4, 4);
        if (size < 8 || at + size > got) return false;
        const unsigned char* sid = sd + at + 8;
        bool applies = !(flags & 0x8); // an inherit-only entry is for what the folder holds
        if (type == 0 && applies && (mask & kWrites)) {
            if (size < 16 || 8 + sid_bytes(sid) > size) return false;
            if (!sid_trusted(sid, u, owner)) return false;
        }
        at += size;
    }
    return true;
}

ErrorCode journal_create_private(const char* path, bool folder, FileHandle* out) {
    ArenaAllocator scratch;
    arena_init(&scratch);
    NativeName name{};
    ErrorCode e = native_path_from_path(&scratch, path, &name);
    if (e == 0) {
        uint32_t access = folder ? FILE_LIST_DIRECTORY | SYNCHRONIZE : kJournalAccess;
        uint32_t options =
            folder ? FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE : kJournalOptions;
#ifdef _WIN32
        OneEntry acl;
        AbsoluteDescriptor d;
        void* security = folder ? folder_security(&acl, &d) : nullptr;
#else
        void* security = &g_descriptor;
#endif
        uint32_t share =
            folder ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : kJournalShare;
        e = native_create_secure(&name, access, share, FILE_ATTRIBUTE_NORMAL,
                                 folder ? FILE_OPEN_IF : FILE_CREATE, options, security, out,
                                 nullptr);
    }
    arena_release(&scratch);
    return e;
}

namespace {

// Creates the folder `path` (with a closing backslash) and, when needed, up
// to `depth` folders above it.
ErrorCode make_folder(char* path, int depth) {
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e = journal_create_private(path, true, &h);
    if (e == ERROR_PATH_NOT_FOUND && depth > 0) {
        uint64_t n = str_len(path);
        uint64_t cut = n - 1;
        while (cut > 0 && path[cut - 1] != '\\') --cut;
        if (cut > 3) {
            char saved = path[cut];
            path[cut] = 0;
            e = make_folder(path, depth - 1);
            path[cut] = saved;
            if (e == 0) e = journal_create_private(path, true, &h);
        }
    }
    file_close(h);
    return e;
}

} // namespace

ErrorCode journal_place_check(const char* path) {
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e = file_open_native(
        path, FILE_LIST_DIRECTORY | SYNCHRONIZE | kReadControl,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, FILE_OPEN,
        FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &h, nullptr);
    if (e == 0) {
        NtFileAttributeTagInformation tag{};
        e = file_query_information(h, FileAttributeTagInformation, &tag, sizeof tag, nullptr);
        if (e == 0 &&
            ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !journal_users_own(h, true)))
            e = ERROR_INVALID_OWNER;
    }
    file_close(h);
    return e;
}

namespace {

// --- the places ------------------------------------------------------------

// How many folders above a place's own one are made when missing.
constexpr int kDepth[JOURNAL_PLACES] = {2, 2, 0};

// The environment variable `name` (UTF-8, mem_malloc); null with *error set
// when it is unset or empty.
char* env_value(const char16_t* name, ErrorCode* error) {
    char16_t wide[MAX_PATH + 1];
    DWORD n = GetEnvironmentVariableW(reinterpret_cast<LPCWSTR>(name),
                                      reinterpret_cast<LPWSTR>(wide), MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        *error = n == 0 ? ERROR_ENVVAR_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    char* value = utf16_to_utf8_alloc(heap_allocator(), wide, n);
    if (!value) *error = ERROR_OUTOFMEMORY;
    return value;
}

// `base` + `leaf` as a folder's path, with the closing backslash; `base`
// is freed.
char* folder_in(char* base, const char* leaf, ErrorCode* error) {
    if (!base) return nullptr;
    uint64_t length = str_len(base);
    const char* sep = length && base[length - 1] == '\\' ? "" : "\\";
    char* folder = format_new(heap_allocator(), "%s%s%s%s", base, sep, leaf, *leaf ? "\\" : "");
    mem_free(base);
    if (!folder) *error = ERROR_OUTOFMEMORY;
    return folder;
}

// The private folder's name in the temporary folder: the temporary folder
// is the user's own on Windows; a Linux one is shared, so the name holds
// the user's id (the last part of the user's SID: the uid).
char* temp_leaf(ErrorCode* error) {
#ifdef _WIN32
    char* leaf = format_new(heap_allocator(), "eolset");
#else
    UserSids u;
    if (!user_sids(&u) || u.user[1] == 0) {
        *error = ERROR_NONE_MAPPED;
        return nullptr;
    }
    uint32_t id = 0;
    memcpy(&id, u.user + 8 + 4 * (u.user[1] - 1), 4);
    char* leaf = format_new(heap_allocator(), "eolset-%u", id);
#endif
    if (!leaf) *error = ERROR_OUTOFMEMORY;
    return leaf;
}

char* temp_base(ErrorCode* error) {
    char16_t wide[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH, reinterpret_cast<LPWSTR>(wide));
    if (n == 0 || n >= MAX_PATH) {
        *error = n == 0 ? ERROR_PATH_NOT_FOUND : ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    char* base = utf16_to_utf8_alloc(heap_allocator(), wide, n);
    if (!base) *error = ERROR_OUTOFMEMORY;
    return base;
}

// The run's choice: the folder, or why none could be used.
struct Home {
    bool chosen;
    char* folder;
    ErrorCode failed;
    char* tried;
};
Home g_home;
LightLock g_home_lock;

void forget(Home* h) {
    mem_free(h->folder);
    mem_free(h->tried);
    *h = Home{};
}

void choose(Home* h) {
    forget(h);
    h->chosen = true;
    h->failed = ERROR_PATH_NOT_FOUND;
    for (int place = 0; place < JOURNAL_PLACES; ++place) {
        ErrorCode e = 0;
        char* path = journal_place(place, &e);
        if (!path) {
            if (e == ERROR_OUTOFMEMORY) h->failed = e;
            continue;
        }
        e = make_folder(path, kDepth[place]);
        if (e == 0) e = journal_place_check(path);
        if (e == 0) {
            mem_free(h->tried);
            h->tried = nullptr;
            h->folder = path;
            h->failed = 0;
            return;
        }
        mem_free(h->tried);
        h->tried = path;
        h->failed = e;
    }
}

} // namespace

char* journal_place(int place, ErrorCode* error) {
    switch (place) {
    case JOURNAL_PLACE_SET: {
        char* value = env_value(u"EOLSET_STATE_DIR", error);
        if (!value) return nullptr;
        ErrorCode e = 0;
        char* full = path_full_checked(heap_allocator(), value, &e);
        mem_free(value);
        if (!full) {
            *error = e;
            return nullptr;
        }
        return folder_in(full, "", error);
    }
    case JOURNAL_PLACE_STATE:
        return folder_in(env_value(u"LOCALAPPDATA", error), "eolset", error);
    case JOURNAL_PLACE_TEMP: {
        char* leaf = temp_leaf(error);
        if (!leaf) return nullptr;
        char* folder = folder_in(temp_base(error), leaf, error);
        mem_free(leaf);
        return folder;
    }
    default:
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
}

ErrorCode journal_choose_folder(char** tried) {
    light_lock(&g_home_lock);
    if (!g_home.chosen) choose(&g_home);
    ErrorCode e = g_home.failed;
    *tried = nullptr;
    if (e != 0 && g_home.tried) *tried = str_dup(heap_allocator(), g_home.tried, TEXT_NUL);
    light_unlock(&g_home_lock);
    return e;
}

char* journal_shared_folder(bool make_again, ErrorCode* error) {
    light_lock(&g_home_lock);
    if (make_again || !g_home.chosen) choose(&g_home);
    char* copy = nullptr;
    if (g_home.folder) {
        copy = str_dup(heap_allocator(), g_home.folder, TEXT_NUL);
        if (!copy) *error = ERROR_OUTOFMEMORY;
    } else {
        *error = ERR_NO_JOURNAL_FOLDER;
    }
    light_unlock(&g_home_lock);
    return copy;
}

void journal_forget_folder() {
    light_lock(&g_home_lock);
    forget(&g_home);
    light_unlock(&g_home_lock);
}
