// Native names and POSIX paths: the stand-in's conversion between the
// object names of the create call (\??\Z:\...) and the POSIX paths they
// stand for, with the statuses Windows gives for names that lead nowhere.
#include "platform/posix/standin.h"
#include "platform/posix/text.h"
#include "platform/utf8.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

namespace {

bool starts_with(const char16_t* s, size_t n, const char* prefix) {
    size_t i = 0;
    for (; prefix[i]; ++i)
        if (i >= n || s[i] != static_cast<char16_t>(prefix[i])) return false;
    return true;
}

// The status Windows gives for a name below no existing object directory:
// a missing last element is "name not found", a missing middle "path not found".
NTSTATUS missing_object(const char16_t* s, size_t n, size_t from) {
    for (size_t i = from; i + 1 < n; ++i)
        if (s[i] == u'\\') return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

} // namespace

// --- native names ---------------------------------------------------------------------

// Turns the object name of a create call into a POSIX path (malloc'ed).
// *trailing tells whether the name ended in a backslash.
NTSTATUS posix_path_from_native(const NtObjectAttributes* oa, char** out, bool* trailing) {
    *out = nullptr;
    *trailing = false;
    const NtUnicodeString* name = oa->ObjectName;
    if (!name || (name->Length && !name->Buffer)) return STATUS_INVALID_PARAMETER;
    if (name->Length & 1) return STATUS_OBJECT_NAME_INVALID;
    const char16_t* s = reinterpret_cast<const char16_t*>(name->Buffer);
    size_t n = name->Length / 2;
    const char* base = "";
    size_t rest = 0;
    if (oa->RootDirectory) {
        Object* root = handle_lookup(oa->RootDirectory);
        if (!root || root->kind != ObjKind::Directory || !root->unix_path)
            return STATUS_INVALID_HANDLE;
        if (n > 0 && s[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        base = root->unix_path;
    } else {
        if (n == 0 || s[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!starts_with(s, n, "\\??\\")) return missing_object(s, n, 1);
        // \??\X: with nothing after it or a backslash: a drive.
        bool drive = n >= 6 && s[5] == u':' && (n == 6 || s[6] == u'\\') &&
                     ((s[4] >= u'A' && s[4] <= u'Z') || (s[4] >= u'a' && s[4] <= u'z'));
        if (!drive) return missing_object(s, n, 4);
        if (s[4] != u'Z' && s[4] != u'z')
            return n > 6 ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND;
        rest = n > 6 ? 7 : 6; // past "\??\Z:\"
    }
    size_t base_len = strlen(base);
    char* path = static_cast<char*>(malloc(base_len + 1 + 3 * (n - rest) + 2));
    if (!path) return STATUS_NO_MEMORY;
    size_t pos = 0;
    memcpy(path, base, base_len);
    pos = base_len;
    if (pos == 0 || path[pos - 1] != '/') path[pos++] = '/';
    // Element by element; a backslash at the very end only marks a folder.
    size_t i = rest;
    while (i < n) {
        size_t j = i;
        while (j < n && s[j] != u'\\') ++j;
        size_t start = pos;
        if (!posix_name_from_utf16(s + i, j - i, path, &pos) ||
            !is_plain_name(path + start, pos - start)) {
            free(path);
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (j + 1 == n) {
            *trailing = true;
            break;
        }
        if (j < n) path[pos++] = '/';
        i = j + 1;
    }
    if (pos > 1 && path[pos - 1] == '/') --pos;
    path[pos] = 0;
    *out = path;
    return STATUS_SUCCESS;
}

// The native name under which an object is reported: \??\Z: and the path
// with backslashes, folders ending in a backslash. Null when out of memory.
char16_t* native_name_of(const char* path, bool is_dir) {
    size_t len = strlen(path);
    char16_t* units = static_cast<char16_t*>(malloc((len + 1) * sizeof(char16_t)));
    char16_t* out = static_cast<char16_t*>(malloc((len + 9) * sizeof(char16_t)));
    if (!units || !out) {
        free(units);
        free(out);
        return nullptr;
    }
    size_t n = posix_text_to_utf16(path, units, PosixText::Path);
    static const char16_t kHead[] = u"\\??\\Z:";
    size_t k = 0;
    for (; kHead[k]; ++k) out[k] = kHead[k];
    for (size_t i = 0; i < n; ++i) out[k++] = units[i] == u'/' ? u'\\' : units[i];
    if (is_dir && out[k - 1] != u'\\') out[k++] = u'\\';
    out[k] = 0;
    free(units);
    return out;
}

size_t u16len(const char16_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

namespace {

struct Anchor {
    char* path;
    int fd;
};
constexpr size_t kAnchorSlots = 16;
Anchor g_anchors[kAnchorSlots];
size_t g_anchor_next;
pthread_mutex_t g_anchor_lock = PTHREAD_MUTEX_INITIALIZER;
// Held for reading while a borrowed anchor is in use, for writing while one is closed.
pthread_rwlock_t g_anchor_use = PTHREAD_RWLOCK_INITIALIZER;

} // namespace

namespace {

int find_anchor(const char* path, const char** leaf, bool copy) {
    *leaf = path;
    const char* slash = strrchr(path, '/');
    if (!slash || slash == path || !slash[1]) return AT_FDCWD;
    size_t length = static_cast<size_t>(slash - path);
    int fd = AT_FDCWD;
    pthread_mutex_lock(&g_anchor_lock);
    for (const Anchor& a : g_anchors) {
        if (a.path && strncmp(a.path, path, length) == 0 && a.path[length] == 0) {
            fd = copy ? fcntl(a.fd, F_DUPFD_CLOEXEC, 0) : a.fd;
            break;
        }
    }
    pthread_mutex_unlock(&g_anchor_lock);
    if (fd < 0) return AT_FDCWD;
    *leaf = slash + 1;
    return fd;
}

} // namespace

int anchor_for(const char* path, const char** leaf) {
    return find_anchor(path, leaf, true);
}

int anchor_borrow(const char* path, const char** leaf) {
    return find_anchor(path, leaf, false);
}

void anchor_hold() {
    pthread_rwlock_rdlock(&g_anchor_use);
}

void anchor_unhold() {
    pthread_rwlock_unlock(&g_anchor_use);
}

void anchor_remember(const char* path, int fd) {
    int own = openat(fd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    char* copy = own >= 0 ? strdup(path) : nullptr;
    if (!copy) {
        if (own >= 0) close(own);
        return;
    }
    pthread_rwlock_wrlock(&g_anchor_use);
    pthread_mutex_lock(&g_anchor_lock);
    Anchor& slot = g_anchors[g_anchor_next++ % kAnchorSlots];
    if (slot.path) {
        free(slot.path);
        close(slot.fd);
    }
    slot = Anchor{copy, own};
    pthread_mutex_unlock(&g_anchor_lock);
    pthread_rwlock_unlock(&g_anchor_use);
}

namespace {

// Folders resolved lately, so that a folder's path is resolved from its
// parent's: realpath() reads every element of the path again, which a walk
// would do for every folder it enters, at a cost growing with the square of
// the depth. An entry holds while the folder is still the same one.
struct Resolved {
    char* path;
    char* real;
    dev_t dev;
    ino_t ino;
};
constexpr size_t kResolvedSlots = 16;
Resolved g_resolved[kResolvedSlots];
size_t g_resolved_next;
pthread_mutex_t g_resolved_lock = PTHREAD_MUTEX_INITIALIZER;

// The real path of folder `path` when it was resolved lately and is the same
// folder still (malloc'ed), else null. `at` is the folder when open (else
// AT_FDCWD).
char* resolved_folder(const char* path, int at) {
    struct stat st;
    if ((at != AT_FDCWD ? fstat(at, &st) : stat(path, &st)) != 0) return nullptr;
    char* real = nullptr;
    pthread_mutex_lock(&g_resolved_lock);
    for (Resolved& r : g_resolved) {
        if (r.path && strcmp(r.path, path) == 0 && r.dev == st.st_dev && r.ino == st.st_ino) {
            real = strdup(r.real);
            break;
        }
    }
    pthread_mutex_unlock(&g_resolved_lock);
    return real;
}

void remember_folder(const char* path, const char* real, const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) return;
    char* p = strdup(path);
    char* r = strdup(real);
    if (!p || !r) {
        free(p);
        free(r);
        return;
    }
    pthread_mutex_lock(&g_resolved_lock);
    Resolved& slot = g_resolved[g_resolved_next++ % kResolvedSlots];
    free(slot.path);
    free(slot.real);
    slot = Resolved{p, r, st.st_dev, st.st_ino};
    pthread_mutex_unlock(&g_resolved_lock);
}

// realpath(), from the parent's resolved path when it has one and the last
// element is no link.
char* resolve(const char* path) {
    const char* leaf = path;
    int at = anchor_for(path, &leaf);
    char* real = nullptr;
    struct stat st;
    bool known = fstatat(at, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISLNK(st.st_mode);
    const char* slash = strrchr(path, '/');
    if (known && slash && slash != path && slash[1]) {
        char* parent = strndup(path, static_cast<size_t>(slash - path));
        char* parent_real = parent ? resolved_folder(parent, at) : nullptr;
        if (parent_real) {
            size_t a = strlen(parent_real), b = strlen(slash);
            real = static_cast<char*>(malloc(a + b + 1));
            if (real) {
                memcpy(real, parent_real, a);
                memcpy(real + a, slash, b + 1);
                if (a == 1) memmove(real, real + 1, b + 1); // the parent is "/"
            }
        }
        free(parent);
        free(parent_real);
    }
    if (at != AT_FDCWD) close(at);
    if (!real) {
        real = realpath(path, nullptr);
        known = real && stat(real, &st) == 0;
    }
    if (real && known) remember_folder(path, real, st);
    return real;
}

} // namespace

// The path by which an object is reported: links resolved, except the last
// element when the link itself was opened.
char* reported_path(const char* path, bool link_itself) {
    if (!link_itself) {
        char* real = resolve(path);
        return real ? real : strdup(path);
    }
    const char* slash = strrchr(path, '/');
    if (!slash || slash == path) return strdup(path);
    char* parent = strndup(path, static_cast<size_t>(slash - path));
    char* real = parent ? resolve(parent) : nullptr;
    free(parent);
    if (!real) return strdup(path);
    size_t a = strlen(real), b = strlen(slash);
    char* out = static_cast<char*>(malloc(a + b + 1));
    if (out) {
        memcpy(out, real, a);
        memcpy(out + a, slash, b + 1);
        if (a == 1) memmove(out, out + 1, b + 1); // parent is "/"
    }
    free(real);
    return out;
}

const char16_t* object_nt_name(Object* obj) {
    if (obj->nt_name || !obj->unix_path) return obj->nt_name;
    char* shown = reported_path(obj->unix_path, obj->reparse);
    obj->nt_name = shown ? native_name_of(shown, obj->is_dir) : nullptr;
    if (!obj->nt_name) obj->nt_name = native_name_of(obj->unix_path, obj->is_dir);
    free(shown);
    return obj->nt_name;
}

void object_leaf(Object* obj, char* buf, size_t size) {
    buf[0] = 0;
    if (!obj) return;
    // Without a link as its last element, the name on disk is the one
    // reported: no need to resolve the folders above it.
    if (!obj->nt_name && !obj->leaf_is_link && obj->unix_path) {
        const char* slash = strrchr(obj->unix_path, '/');
        const char* leaf = slash ? slash + 1 : obj->unix_path;
        size_t n = strlen(leaf);
        if (n < size) memcpy(buf, leaf, n + 1);
        return;
    }
    const char16_t* s = object_nt_name(obj);
    if (!s) return;
    size_t n = u16len(s);
    if (n > 0 && s[n - 1] == u'\\') --n;
    size_t i = n;
    while (i > 0 && s[i - 1] != u'\\') --i;
    size_t pos = 0;
    if (3 * (n - i) + 1 > size || !posix_name_from_utf16(s + i, n - i, buf, &pos)) pos = 0;
    buf[pos] = 0;
}

// ENOENT for `path`: "path not found" when its folder is missing too.
NTSTATUS missing_file(const char* path) {
    const char* slash = strrchr(path, '/');
    if (!slash || slash == path) return STATUS_OBJECT_NAME_NOT_FOUND;
    char* parent = strndup(path, static_cast<size_t>(slash - path));
    if (!parent) return STATUS_NO_MEMORY;
    struct stat st;
    bool ok = stat(parent, &st) == 0 && S_ISDIR(st.st_mode);
    free(parent);
    return ok ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
}

NTSTATUS status_for_path_error(int e, const char* path) {
    if (e == ENOENT) return missing_file(path);
    if (e == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
    return status_from_errno(e);
}

bool is_plain_name(const char* name, size_t length) {
    if (length == 0) return false;
    return !(name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.')));
}

namespace {

char16_t fold_unit(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

// Whether a name on disk reads, in Windows form, as `want` (n units) when
// letter case is ignored.
bool same_windows_name(const char* on_disk, const char16_t* want, size_t n) {
    char16_t units[NAME_MAX + 1];
    if (strlen(on_disk) > NAME_MAX) return false;
    size_t k = posix_text_to_utf16(on_disk, units, PosixText::Name);
    if (k != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (fold_unit(units[i]) != fold_unit(want[i])) return false;
    return true;
}

// The entry of folder `dir` that reads as `element`, or false.
bool find_in_folder(const char* dir, const char* element, std::string* found) {
    char16_t want[NAME_MAX + 1];
    if (strlen(element) > NAME_MAX) return false;
    size_t n = posix_text_to_utf16(element, want, PosixText::Name);
    DIR* d = opendir(dir[0] ? dir : "/");
    if (!d) return false;
    bool hit = false;
    while (struct dirent* de = readdir(d)) {
        if (same_windows_name(de->d_name, want, n)) {
            *found = de->d_name;
            hit = true;
            break;
        }
    }
    closedir(d);
    return hit;
}

} // namespace

// Wine's lookup of a path that is not there as written: element by element,
// the name as given when it exists, else the first entry of the folder that
// reads the same in Windows form with letter case ignored.
char* lookup_as_wine(const char* path) {
    std::string out;
    const char* p = path;
    while (*p == '/') ++p;
    while (*p) {
        const char* end = strchr(p, '/');
        std::string element(p, end ? static_cast<size_t>(end - p) : strlen(p));
        std::string candidate = out + "/" + element;
        struct stat st;
        if (lstat(candidate.c_str(), &st) != 0) {
            std::string found;
            if (errno != ENOENT || !find_in_folder(out.c_str(), element.c_str(), &found))
                return nullptr;
            candidate = out + "/" + found;
        }
        out = candidate;
        if (!end) break;
        p = end + 1;
        while (*p == '/') ++p;
    }
    return strdup(out.empty() ? "/" : out.c_str());
}

} // namespace standin
