#include "base/path.h"

#include "base/args.h"
#include "base/fold.h"
#include "base/utf.h"
#include "platform/nt.h"

namespace {

// Units of the first buffer the system is asked to fill.
constexpr DWORD kQueryUnits = 300;
// A directory can change between the call that measures and the one that
// fills; give up after this many rounds.
constexpr int kQueryRounds = 4;
// Bytes normalised on the stack before a path needs a heap block.
constexpr uint64_t kStackPath = 100;

bool is_sep(char c) {
    return c == '\\' || c == '/';
}

bool is_ascii_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The output of path_normalize_into: characters are stored only while the
// count is below the size, but always counted; `last` is the last character
// written, known even after the buffer has run out.
struct PathOut {
    char* buf;
    uint64_t size;
    uint64_t len;
    char last;
};

inline void put(PathOut* o, char c) {
    if (o->len < o->size) o->buf[o->len] = c;
    ++o->len;
    o->last = c;
}

// A Win32 query that fills a UTF-16 buffer: length without the NUL when the
// buffer was big enough, the size needed (with the NUL) when not, 0 on failure.
using WideQuery = DWORD (*)(const void* ctx, DWORD units, char16_t* buf);

DWORD query_current_directory(const void*, DWORD units, char16_t* buf) {
    return GetCurrentDirectoryW(units, reinterpret_cast<WCHAR*>(buf));
}

DWORD query_full_path(const void* ctx, DWORD units, char16_t* buf) {
    return GetFullPathNameW(reinterpret_cast<const WCHAR*>(ctx), units,
                            reinterpret_cast<WCHAR*>(buf), nullptr);
}

// Asks first with the 300-unit buffer on the caller's stack, then grows into
// blocks from the arena until the answer fits. Returns the text (in `stack`
// or in the arena) and its length, or null on failure.
const char16_t* query_wide(WideQuery q, const void* ctx, char16_t* stack, ArenaAllocator* arena,
                           DWORD* length) {
    char16_t* buf = stack;
    DWORD units = kQueryUnits;
    for (int round = 0; round < kQueryRounds; ++round) {
        DWORD n = q(ctx, units, buf);
        if (n == 0) return nullptr;
        if (n < units) {
            *length = n;
            return buf;
        }
        units = n;
        buf = static_cast<char16_t*>(allocate(arena_base(arena), uint64_t(units) * 2));
        if (!buf) return nullptr;
    }
    return nullptr;
}

char* query_utf8(Allocator* a, WideQuery q, const void* ctx, bool* no_memory = nullptr) {
    char16_t stack[kQueryUnits];
    ArenaAllocator arena;
    arena_init(&arena);
    DWORD n = 0;
    const char16_t* text = query_wide(q, ctx, stack, &arena, &n);
    char* result = text ? utf16_to_utf8_alloc(a, text, n) : nullptr;
    if (no_memory) *no_memory = arena.failures != 0 || (text && !result);
    arena_release(&arena);
    return result;
}

bool is_rooted_full(const char* p) {
    uint64_t root = 0;
    bool rooted = false;
    return p && path_root(p, &root, &rooted) == 0 && root != 0 && rooted;
}

// A heap copy of what the query reports, or null when it fails or is empty.
char16_t* query_heap_copy(WideQuery q) {
    char16_t stack[kQueryUnits];
    ArenaAllocator arena;
    arena_init(&arena);
    DWORD n = 0;
    const char16_t* text = query_wide(q, nullptr, stack, &arena, &n);
    char16_t* copy = text && n ? wstr_dup_heap(text, n) : nullptr;
    arena_release(&arena);
    return copy;
}

} // namespace

char* path_join(Allocator* a, const char* first, const char* second) {
    if (!first || !*first) return str_dup(a, second, TEXT_NUL);
    uint64_t flen = str_len(first);
    if (is_sep(first[flen - 1])) --flen;
    if (second && is_sep(*second)) ++second;
    uint64_t slen = str_len(second);
    char* out = static_cast<char*>(allocate(a, flen + 1 + slen + 1));
    if (!out) return nullptr;
    mem_move(out, first, flen);
    out[flen] = '\\';
    mem_move(out + flen + 1, second, slen);
    out[flen + 1 + slen] = 0;
    return out;
}

ErrorCode path_root(const char* path, uint64_t* root_length, bool* rooted) {
    uint64_t len = 0;
    bool is_rooted = false;
    ErrorCode err = 0;
    if (!path || !*path) {
        err = ERR_INVALID_NAME;
    } else if (is_sep(path[0]) && is_sep(path[1])) {
        is_rooted = true;
        if (path[2] == '=' && is_sep(path[3])) {
            len = 3; // the prefix of a raw native name
        } else {
            // \\server\share, where \\?\ and \\.\ count as servers too.
            uint64_t i = 2;
            while (path[i] && !is_sep(path[i])) ++i;
            uint64_t share = i + 1;
            if (i == 2 || !path[i]) {
                err = ERR_INVALID_NAME;
            } else {
                i = share;
                while (path[i] && !is_sep(path[i])) ++i;
                if (i == share)
                    err = ERR_INVALID_NAME;
                else
                    len = i;
            }
        }
    } else if (is_sep(path[0])) {
        is_rooted = true;
    } else if (is_ascii_letter(path[0]) && path[1] == ':') {
        len = 2;
        is_rooted = is_sep(path[2]);
    }
    if (err) len = 0, is_rooted = false;
    if (root_length) *root_length = len;
    if (rooted) *rooted = is_rooted;
    return err;
}

uint64_t path_normalize_into(const char* path, uint64_t root_length, bool rooted, char* buf,
                             uint64_t size) {
    PathOut o = {buf, size, 0, 0};
    uint64_t i = 0;
    for (; i < root_length && path[i]; ++i) put(&o, is_sep(path[i]) ? '\\' : path[i]);
    if (rooted) put(&o, '\\');
    const uint64_t floor = o.len;
    // Elements written above the floor, counted even when the buffer has run
    // out, so a level that cannot be removed is never mistaken for one that
    // has nothing left to remove.
    uint64_t depth = 0;
    uint64_t unresolved = 0;
    while (is_sep(path[i])) ++i;
    while (path[i]) {
        uint64_t start = i;
        bool dots_only = true;
        for (; path[i] && !is_sep(path[i]); ++i)
            if (path[i] != '.') dots_only = false;
        uint64_t end = i;
        while (is_sep(path[i])) ++i;
        if (!dots_only) {
            if (o.len > floor) put(&o, '\\');
            for (uint64_t k = start; k < end; ++k) put(&o, path[k]);
            ++depth;
            continue;
        }
        // n dots go up n - 1 levels.
        for (uint64_t up = start + 1; up < end; ++up) {
            if (depth == 0) {
                ++unresolved;
                continue;
            }
            --depth;
            if (o.len > size) continue; // overflowed: the length stays an upper bound
            uint64_t cut = o.len;
            while (cut > floor && buf[cut - 1] != '\\') --cut;
            o.len = cut > floor ? cut - 1 : floor;
            o.last = o.len ? buf[o.len - 1] : 0;
        }
    }
    if (unresolved && !rooted) {
        uint64_t extra = 3 * unresolved;
        if (o.len + extra <= size) {
            mem_move(buf + extra, buf, o.len);
            for (uint64_t k = 0; k < extra; k += 3) {
                buf[k] = '.';
                buf[k + 1] = '.';
                buf[k + 2] = '\\';
            }
        }
        if (o.len == 0) o.last = '\\';
        o.len += extra;
    }
    if (o.len == 0) put(&o, '.');
    uint64_t plen = str_len(path);
    if (plen && is_sep(path[plen - 1]) && o.last != '\\') put(&o, '\\');
    return o.len;
}

char* path_normalize(Allocator* a, const char* path) {
    uint64_t root = 0;
    bool rooted = false;
    if (path_root(path, &root, &rooted)) return nullptr;
    char stack[kStackPath];
    uint64_t len = path_normalize_into(path, root, rooted, stack, sizeof stack);
    char* out = static_cast<char*>(allocate(a, len + 1));
    if (!out) return nullptr;
    if (len < sizeof stack)
        mem_move(out, stack, len);
    else
        len = path_normalize_into(path, root, rooted, out, len + 1);
    out[len] = 0;
    return out;
}

char* path_full(Allocator* a, const char* path) {
    ErrorCode ignored;
    return path_full_checked(a, path, &ignored);
}

char* path_full_checked(Allocator* a, const char* path, ErrorCode* error) {
    *error = 0;
    if (!path || !*path) path = ".";
    uint64_t root = 0;
    bool rooted = false;
    if (path_root(path, &root, &rooted)) {
        *error = ERR_INVALID_NAME;
        return nullptr;
    }
    if (root != 0 && rooted) {
        char* full = path_normalize(a, path);
        if (!full) *error = ERR_OUT_OF_MEMORY;
        return full;
    }

    ArenaAllocator scratch;
    arena_init(&scratch);
    Allocator* s = arena_base(&scratch);
    char* result = nullptr;
    bool no_memory = false;
    char* cwd = query_utf8(s, query_current_directory, nullptr, &no_memory);
    uint64_t cwd_root = 0;
    bool cwd_rooted = false;
    if (cwd && path_root(cwd, &cwd_root, &cwd_rooted) == 0 && cwd_rooted) {
        const char* dir = cwd;
        const char* rest = path;
        if (rooted) {
            // "\x": the root of the current directory's drive or share.
            cwd[cwd_root] = 0;
            rest = path + 1;
        } else if (root == 2) {
            // "X:x": the current directory when it is on drive X, else the
            // directory the system keeps for X, else the drive's root.
            if (compare_folded(path, 2, cwd, cwd_root) != 0) {
                dir = drive_directory(s, path[0]);
                if (!dir) dir = str_dup(s, path, 2);
            }
            rest = path + 2;
        }
        char* joined = dir ? path_join(s, dir, rest) : nullptr;
        if (joined) result = path_normalize(a, joined);
        if (!result) *error = ERR_OUT_OF_MEMORY;
    } else if (no_memory || scratch.failures) {
        *error = ERR_OUT_OF_MEMORY;
    } else {
        // The current folder is gone, or the system names it with no root
        // (Wine says "unix" then). The system may still place the path (the
        // stand-in knows its one drive); nothing else has a folder to stand in.
        uint64_t units = utf8_to_utf16(nullptr, 0, path, TEXT_NUL);
        char16_t* wide = static_cast<char16_t*>(allocate(s, (units + 1) * 2));
        char* placed = nullptr;
        if (wide) {
            utf8_to_utf16(wide, units + 1, path, TEXT_NUL);
            wide[units] = 0;
            placed = query_utf8(s, query_full_path, wide, &no_memory);
        }
        if (is_rooted_full(placed)) result = path_normalize(a, placed);
        if (!result)
            *error = (!wide || no_memory || is_rooted_full(placed)) ? ERR_OUT_OF_MEMORY
                                                                    : ERR_PATH_NOT_FOUND;
    }
    arena_release(&scratch);
    return result;
}

char* current_directory(Allocator* a) {
    return query_utf8(a, query_current_directory, nullptr);
}

char* drive_directory(Allocator* a, char drive) {
    const char16_t name[4] = {static_cast<char16_t>(static_cast<unsigned char>(drive)), u':', u'.',
                              0};
    return query_utf8(a, query_full_path, name);
}

const char16_t* cached_current_directory() {
    void* v = __atomic_load_n(&g_cached_directory.slot, __ATOMIC_ACQUIRE);
    if (v) return static_cast<const char16_t*>(v);
    char16_t* copy = query_heap_copy(query_current_directory);
    return static_cast<const char16_t*>(install_once(
        &g_cached_directory.slot, &g_cached_directory.owned, copy, g_cached_directory.fallback));
}

const char16_t* cached_user_name() {
    void* v = __atomic_load_n(&g_cached_user_name.slot, __ATOMIC_ACQUIRE);
    if (v) return static_cast<const char16_t*>(v);
    char16_t buf[kQueryUnits];
    DWORD units = kQueryUnits;
    char16_t* copy = nullptr;
    // The size handed back counts the NUL.
    if (GetUserNameW(reinterpret_cast<WCHAR*>(buf), &units) && units > 1)
        copy = wstr_dup_heap(buf, units - 1);
    return static_cast<const char16_t*>(install_once(
        &g_cached_user_name.slot, &g_cached_user_name.owned, copy, g_cached_user_name.fallback));
}
