// The native file calls of the stand-in: creating and opening files and
// folders by native name, querying and setting their information, the
// volume information and the object name. Drive Z: is the POSIX root, as
// Wine presents it.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace standin {

namespace {

constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003BL);
constexpr ULONG kFileDeleteOnClose = 0x00001000;
constexpr ULONG kModeOptions = FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY |
                               FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_ALERT |
                               FILE_SYNCHRONOUS_IO_NONALERT | kFileDeleteOnClose;

constexpr ACCESS_MASK kReadData = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr ACCESS_MASK kDataAccess = kReadData | kWriteData;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

constexpr int64_t kUnixEpochInNt = 116444736000000000LL; // 1970-01-01 in 1601 units

// Generic rights become the file-specific rights they stand for.
ACCESS_MASK map_generic(ACCESS_MASK a) {
    if (a & GENERIC_READ) a |= 0x120089;
    if (a & GENERIC_WRITE) a |= 0x120116;
    if (a & kGenericExecute) a |= 0x1200A0;
    if (a & (kGenericAll | kMaximumAllowed)) a |= 0x1F01FF;
    return a & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | kGenericExecute |
                                         kGenericAll | kMaximumAllowed);
}

// --- UTF-16 and UTF-8 ---------------------------------------------------------------

// Appends the UTF-8 form of a UTF-16 text; false for a lone surrogate.
bool put_utf8(const char16_t* s, size_t n, char* out, size_t* pos) {
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c > 0xDBFF || i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c & 0x3FF) << 10) + (s[++i] & 0x3FF);
        }
        size_t p = *pos;
        if (c < 0x80) {
            out[p++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[p++] = static_cast<char>(0xC0 | (c >> 6));
            out[p++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[p++] = static_cast<char>(0xE0 | (c >> 12));
            out[p++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[p++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[p++] = static_cast<char>(0xF0 | (c >> 18));
            out[p++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[p++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[p++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        *pos = p;
    }
    return true;
}

// Decodes strict UTF-8 into `out` (room for strlen(s) units); false when the
// bytes are not UTF-8. Returns the unit count in *n.
bool utf8_to_units(const char* s, char16_t* out, size_t* n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    size_t k = 0;
    while (*p) {
        uint32_t c = *p++;
        int need = 0;
        uint32_t min = 0;
        if (c >= 0x80) {
            if (c >= 0xC2 && c <= 0xDF)
                c &= 0x1F, need = 1, min = 0x80;
            else if (c >= 0xE0 && c <= 0xEF)
                c &= 0x0F, need = 2, min = 0x800;
            else if (c >= 0xF0 && c <= 0xF4)
                c &= 0x07, need = 3, min = 0x10000;
            else
                return false;
            for (; need > 0; --need) {
                if ((*p & 0xC0) != 0x80) return false;
                c = (c << 6) | (*p++ & 0x3F);
            }
            if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out[k++] = static_cast<char16_t>(0xD800 | (c >> 10));
            out[k++] = static_cast<char16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out[k++] = static_cast<char16_t>(c);
        }
    }
    *n = k;
    return true;
}

// --- native names ---------------------------------------------------------------------

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
        if (n > 0 && s[0] == u'\\') return kStatusObjectPathSyntaxBad;
        base = root->unix_path;
    } else {
        if (n == 0 || s[0] != u'\\') return kStatusObjectPathSyntaxBad;
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
        if (!put_utf8(s + i, j - i, path, &pos) ||
            !name_is_windows_safe(path + start, pos - start)) {
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
    size_t n = 0;
    if (!units || !out || !utf8_to_units(path, units, &n)) {
        free(units);
        free(out);
        return nullptr;
    }
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

// The path by which an object is reported: links resolved, except the last
// element when the link itself was opened.
char* reported_path(const char* path, bool link_itself) {
    if (!link_itself) {
        char* real = realpath(path, nullptr);
        return real ? real : strdup(path);
    }
    const char* slash = strrchr(path, '/');
    if (!slash || slash == path) return strdup(path);
    char* parent = strndup(path, static_cast<size_t>(slash - path));
    char* real = parent ? realpath(parent, nullptr) : nullptr;
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

// --- share modes ----------------------------------------------------------------------

struct ShareCheck {
    dev_t dev;
    ino_t ino;
    ACCESS_MASK access;
    ULONG share;
    bool conflict;
};

// The rule of the system: only reading, writing and deleting opens take part.
void share_visit(Object* obj, void* ctx) {
    ShareCheck* c = static_cast<ShareCheck*>(ctx);
    if (obj->kind != ObjKind::File && obj->kind != ObjKind::Directory) return;
    if (obj->dev != c->dev || obj->ino != c->ino) return;
    ACCESS_MASK a = obj->access;
    if (!(a & (kDataAccess | DELETE))) return;
    bool bad = ((c->access & kReadData) && !(obj->share & FILE_SHARE_READ)) ||
               ((c->access & kWriteData) && !(obj->share & FILE_SHARE_WRITE)) ||
               ((c->access & DELETE) && !(obj->share & FILE_SHARE_DELETE)) ||
               ((a & kReadData) && !(c->share & FILE_SHARE_READ)) ||
               ((a & kWriteData) && !(c->share & FILE_SHARE_WRITE)) ||
               ((a & DELETE) && !(c->share & FILE_SHARE_DELETE));
    if (bad) c->conflict = true;
}

std::mutex g_open_lock; // makes the share check and the insertion one step

bool share_conflict(dev_t dev, ino_t ino, ACCESS_MASK access, ULONG share) {
    if (!(access & (kDataAccess | DELETE))) return false;
    ShareCheck c{dev, ino, access, share, false};
    handle_for_each(share_visit, &c);
    return c.conflict;
}

// --- opening --------------------------------------------------------------------------

bool no_write_bit(mode_t m) {
    return (m & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool is_special(mode_t m) {
    return !S_ISREG(m) && !S_ISDIR(m) && !S_ISLNK(m);
}

int open_flags_for(ACCESS_MASK access) {
    bool r = access & kReadData, w = access & kWriteData;
    return w ? (r ? O_RDWR : O_WRONLY) : O_RDONLY;
}

constexpr int kOpenCommon = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

struct OpenPlan {
    char* path;
    bool trailing;
    ACCESS_MASK access;
    ULONG share, disposition, options, attributes;
};

// Opens an existing object; *info receives the create action.
NTSTATUS open_existing(const OpenPlan& p, const struct stat& st, bool link_itself, int* fd_out,
                       ULONG_PTR* info) {
    bool dir = S_ISDIR(st.st_mode);
    if (link_itself) {
        struct stat target;
        dir = stat(p.path, &target) == 0 && S_ISDIR(target.st_mode);
    }
    ULONG disp = p.disposition;
    bool overwrite = disp == FILE_SUPERSEDE || disp == FILE_OVERWRITE || disp == FILE_OVERWRITE_IF;
    if (p.trailing && !dir) return STATUS_OBJECT_NAME_INVALID;
    if ((p.options & FILE_DIRECTORY_FILE) && !dir) return STATUS_NOT_A_DIRECTORY;
    if ((p.options & FILE_NON_DIRECTORY_FILE) && dir) return STATUS_FILE_IS_A_DIRECTORY;
    if (disp == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    if (dir && overwrite) return STATUS_OBJECT_NAME_COLLISION;
    bool writes = (p.access & kWriteData) || overwrite;
    // Pipes, sockets and devices are never read or written: they could block.
    if (!link_itself && is_special(st.st_mode) && ((p.access & kDataAccess) || overwrite))
        return STATUS_ACCESS_DENIED;
    // The read-only attribute holds for every caller, root included.
    if (!dir && writes && (link_itself || no_write_bit(st.st_mode))) return STATUS_ACCESS_DENIED;
    if (share_conflict(st.st_dev, st.st_ino, p.access, p.share)) return STATUS_SHARING_VIOLATION;

    int fd;
    if (link_itself) {
        fd = open(p.path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    } else if (dir) {
        fd = open(p.path, O_RDONLY | O_DIRECTORY | kOpenCommon);
        if (fd < 0 && errno == EACCES && !(p.access & kDataAccess))
            fd = open(p.path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    } else if (is_special(st.st_mode)) {
        fd = open(p.path, O_PATH | O_CLOEXEC);
    } else {
        fd = open(p.path, open_flags_for(p.access) | kOpenCommon);
        if (fd < 0 && errno == EACCES && !(p.access & kDataAccess))
            fd = open(p.path, O_PATH | O_CLOEXEC);
        if (fd >= 0 && overwrite) {
            int r = (p.access & kWriteData) ? ftruncate(fd, 0) : truncate(p.path, 0);
            if (r != 0) {
                int e = errno;
                close(fd);
                return status_from_errno(e);
            }
        }
    }
    if (fd < 0) return status_for_path_error(errno, p.path);
    *fd_out = fd;
    *info = disp == FILE_SUPERSEDE                        ? FILE_SUPERSEDED
            : (disp == FILE_OPEN || disp == FILE_OPEN_IF) ? FILE_OPENED
                                                          : FILE_OVERWRITTEN;
    return STATUS_SUCCESS;
}

// Creates a missing object.
NTSTATUS create_new(const OpenPlan& p, int* fd_out, ULONG_PTR* info) {
    ULONG disp = p.disposition;
    if (disp == FILE_OPEN || disp == FILE_OVERWRITE) return missing_file(p.path);
    int fd;
    if (p.options & FILE_DIRECTORY_FILE) {
        if (disp != FILE_CREATE && disp != FILE_OPEN_IF) return STATUS_INVALID_PARAMETER;
        if (mkdir(p.path, 0777) != 0) return status_for_path_error(errno, p.path);
        fd = open(p.path, O_RDONLY | O_DIRECTORY | kOpenCommon);
    } else {
        if (p.trailing) return STATUS_OBJECT_NAME_INVALID;
        mode_t mode = (p.attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        fd = open(p.path, open_flags_for(p.access) | O_CREAT | O_EXCL | kOpenCommon, mode);
    }
    if (fd < 0) return status_for_path_error(errno, p.path);
    *fd_out = fd;
    *info = FILE_CREATED;
    return STATUS_SUCCESS;
}

// --- what a handle refers to ----------------------------------------------------------------

struct Target {
    Object* obj; // null for a standard handle
    int fd;
    bool link; // a symbolic link opened itself
};

bool target_of(HANDLE h, Target* t) {
    int sfd = std_handle_fd(h);
    if (sfd >= 0) {
        *t = Target{nullptr, sfd, false};
        return true;
    }
    Object* obj = handle_lookup(h);
    if (!obj || (obj->kind != ObjKind::File && obj->kind != ObjKind::Directory) || obj->fd < 0)
        return false;
    *t = Target{obj, obj->fd, obj->reparse};
    return true;
}

// The last element of an object's reported name, for the hidden attribute.
void leaf_of(const Object* obj, char* buf, size_t size) {
    buf[0] = 0;
    if (!obj || !obj->nt_name) return;
    const char16_t* s = obj->nt_name;
    size_t n = u16len(s);
    if (n > 0 && s[n - 1] == u'\\') --n;
    size_t i = n;
    while (i > 0 && s[i - 1] != u'\\') --i;
    size_t pos = 0;
    if (3 * (n - i) + 1 > size || !put_utf8(s + i, n - i, buf, &pos)) pos = 0;
    buf[pos] = 0;
}

int facts_of(const Target& t, FileFacts* f) {
    char leaf[NAME_MAX * 3 + 4];
    leaf_of(t.obj, leaf, sizeof leaf);
    if (t.link) return file_facts(AT_FDCWD, t.obj->unix_path, AT_SYMLINK_NOFOLLOW, leaf, f);
    return file_facts(t.fd, "", AT_EMPTY_PATH, leaf, f);
}

// The name FileAllInformation and FileNameInformation report: the path
// below the volume, without a folder's closing backslash (but "\" for the root).
const char16_t* volume_relative_name(const Object* obj, size_t* n) {
    static const char16_t kRoot[] = u"\\";
    if (!obj || !obj->nt_name) {
        *n = 0;
        return kRoot;
    }
    const char16_t* s = obj->nt_name + 6; // past "\??\Z:"
    size_t len = u16len(s);
    if (len > 1 && s[len - 1] == u'\\') --len;
    *n = len;
    return s;
}

// Copies a name behind a fixed part; BUFFER_OVERFLOW when it does not fit.
NTSTATUS put_name(void* buf, ULONG length, ULONG offset, const char16_t* name, size_t n,
                  ULONG_PTR* used) {
    size_t room = (length - offset) / 2;
    size_t copy = n < room ? n : room;
    memcpy(static_cast<char*>(buf) + offset, name, copy * 2);
    if (copy < n) {
        *used = length;
        return STATUS_BUFFER_OVERFLOW;
    }
    *used = offset + n * 2;
    return STATUS_SUCCESS;
}

void fill_basic(const FileFacts& f, NtFileBasicInformation* b) {
    b->CreationTime = f.create_time;
    b->LastAccessTime = f.access_time;
    b->LastWriteTime = f.write_time;
    b->ChangeTime = f.change_time;
    b->FileAttributes = f.attributes;
}

void fill_standard(const FileFacts& f, const Object* obj, NtFileStandardInformation* s) {
    s->AllocationSize = f.allocation;
    s->EndOfFile = f.size;
    s->NumberOfLinks = f.nlink;
    s->DeletePending = obj && obj->delete_on_close;
    s->Directory = f.is_dir;
}

int64_t current_offset(const Target& t) {
    off_t o = lseek(t.fd, 0, SEEK_CUR);
    return o < 0 ? 0 : o;
}

constexpr ULONG kFileNameInformation = 9;

// The fixed part of each information class the stand-in answers; 0 for others.
ULONG fixed_size_of(ULONG cls) {
    switch (cls) {
    case FileBasicInformation:
        return sizeof(NtFileBasicInformation);
    case FileStandardInformation:
        return sizeof(NtFileStandardInformation);
    case FileInternalInformation:
    case FilePositionInformation:
        return 8;
    case kFileNameInformation:
        return 4;
    case FileAllInformation:
        return offsetof(NtFileAllInformation, FileName);
    case FileReparsePointInformation:
        return sizeof(NtFileReparsePointInformation);
    case FileNetworkOpenInformation:
        return sizeof(NtFileNetworkOpenInformation);
    case FileAttributeTagInformation:
        return sizeof(NtFileAttributeTagInformation);
    case FileIdInformation:
        return sizeof(NtFileIdInformation);
    }
    return 0;
}

NTSTATUS query_file(const Target& t, void* buf, ULONG length, ULONG cls, ULONG_PTR* used) {
    ULONG fixed = fixed_size_of(cls);
    if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    FileFacts f;
    if (cls != FilePositionInformation && cls != kFileNameInformation) {
        int e = facts_of(t, &f);
        if (e) return status_from_errno(e);
    }
    *used = fixed;
    switch (cls) {
    case FileBasicInformation:
        fill_basic(f, static_cast<NtFileBasicInformation*>(buf));
        return STATUS_SUCCESS;
    case FileStandardInformation:
        fill_standard(f, t.obj, static_cast<NtFileStandardInformation*>(buf));
        return STATUS_SUCCESS;
    case FileInternalInformation:
        *static_cast<int64_t*>(buf) = static_cast<int64_t>(f.ino);
        return STATUS_SUCCESS;
    case FilePositionInformation:
        *static_cast<int64_t*>(buf) = current_offset(t);
        return STATUS_SUCCESS;
    case kFileNameInformation: {
        size_t n;
        const char16_t* name = volume_relative_name(t.obj, &n);
        *static_cast<ULONG*>(buf) = static_cast<ULONG>(n * 2);
        return put_name(buf, length, 4, name, n, used);
    }
    case FileAllInformation: {
        NtFileAllInformation* a = static_cast<NtFileAllInformation*>(buf);
        fill_basic(f, &a->BasicInformation);
        fill_standard(f, t.obj, &a->StandardInformation);
        a->IndexNumber = static_cast<int64_t>(f.ino);
        a->EaSize = 0;
        a->AccessFlags = t.obj ? t.obj->access : 0x1F01FF;
        a->CurrentByteOffset = current_offset(t);
        a->Mode = t.obj ? t.obj->options & kModeOptions : FILE_SYNCHRONOUS_IO_NONALERT;
        a->AlignmentRequirement = 0;
        size_t n;
        const char16_t* name = volume_relative_name(t.obj, &n);
        a->FileNameLength = static_cast<ULONG>(n * 2);
        return put_name(buf, length, offsetof(NtFileAllInformation, FileName), name, n, used);
    }
    case FileReparsePointInformation: {
        if (!f.reparse_tag) return STATUS_NOT_A_REPARSE_POINT;
        NtFileReparsePointInformation* r = static_cast<NtFileReparsePointInformation*>(buf);
        r->FileReference = static_cast<int64_t>(f.ino);
        r->Tag = f.reparse_tag;
        return STATUS_SUCCESS;
    }
    case FileNetworkOpenInformation: {
        NtFileNetworkOpenInformation* o = static_cast<NtFileNetworkOpenInformation*>(buf);
        o->CreationTime = f.create_time;
        o->LastAccessTime = f.access_time;
        o->LastWriteTime = f.write_time;
        o->ChangeTime = f.change_time;
        o->AllocationSize = f.allocation;
        o->EndOfFile = f.size;
        o->FileAttributes = f.attributes;
        return STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
        NtFileAttributeTagInformation* a = static_cast<NtFileAttributeTagInformation*>(buf);
        a->FileAttributes = f.attributes;
        a->ReparseTag = f.reparse_tag;
        return STATUS_SUCCESS;
    }
    case FileIdInformation: {
        NtFileIdInformation* id = static_cast<NtFileIdInformation*>(buf);
        id->VolumeSerialNumber = f.dev;
        memset(id->FileId, 0, sizeof id->FileId);
        uint64_t ino = f.ino;
        memcpy(id->FileId, &ino, sizeof ino);
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_INFO_CLASS;
}

// NT time to a POSIX time; 0 and -1 leave the time as it is.
struct timespec unix_time_from_nt(int64_t t) {
    struct timespec ts;
    if (t == 0 || t == -1) {
        ts.tv_sec = 0;
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    int64_t d = t - kUnixEpochInNt;
    int64_t sec = d / 10000000, rem = d % 10000000;
    if (rem < 0) rem += 10000000, --sec;
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
}

bool is_path_fd(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_PATH);
}

NTSTATUS set_basic(const Target& t, const NtFileBasicInformation* b) {
    if (t.obj && !(t.obj->access & FILE_WRITE_ATTRIBUTES)) return STATUS_ACCESS_DENIED;
    // Creation and change times cannot be set on POSIX systems; they stay.
    struct timespec ts[2] = {unix_time_from_nt(b->LastAccessTime),
                             unix_time_from_nt(b->LastWriteTime)};
    if (ts[0].tv_nsec != UTIME_OMIT || ts[1].tv_nsec != UTIME_OMIT) {
        int r;
        if (t.link)
            r = utimensat(AT_FDCWD, t.obj->unix_path, ts, AT_SYMLINK_NOFOLLOW);
        else if (is_path_fd(t.fd))
            r = utimensat(AT_FDCWD, t.obj->unix_path, ts, 0);
        else
            r = futimens(t.fd, ts);
        if (r != 0) return status_from_errno(errno);
    }
    if (b->FileAttributes != 0 && !t.link) {
        struct stat st;
        if (fstat(t.fd, &st) != 0) return status_from_errno(errno);
        bool want_ro = b->FileAttributes & FILE_ATTRIBUTE_READONLY;
        mode_t mode = st.st_mode & 07777;
        mode_t next = want_ro ? (mode & ~static_cast<mode_t>(0222))
                              : (no_write_bit(mode) ? mode | S_IWUSR : mode);
        if (next != mode) {
            int r = is_path_fd(t.fd) ? chmod(t.obj->unix_path, next) : fchmod(t.fd, next);
            if (r != 0) return status_from_errno(errno);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS set_file(const Target& t, void* buf, ULONG length, ULONG cls) {
    switch (cls) {
    case FileBasicInformation:
        if (length < sizeof(NtFileBasicInformation)) return STATUS_INFO_LENGTH_MISMATCH;
        return set_basic(t, static_cast<const NtFileBasicInformation*>(buf));
    case FilePositionInformation: {
        if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
        int64_t off;
        memcpy(&off, buf, 8);
        if (off < 0) return STATUS_INVALID_PARAMETER;
        if (lseek(t.fd, off, SEEK_SET) < 0) return status_from_errno(errno);
        return STATUS_SUCCESS;
    }
    case FileEndOfFileInformation: {
        if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
        int64_t size;
        memcpy(&size, buf, 8);
        if (t.obj && !(t.obj->access & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
        if (size < 0 || (t.obj && t.obj->kind == ObjKind::Directory))
            return STATUS_INVALID_PARAMETER;
        // Windows reserves the space of a file it extends; a bare ftruncate
        // would leave a hole that a full disk only reports at the writes.
        struct stat st;
        if (fstat(t.fd, &st) != 0) return status_from_errno(errno);
        if (size > st.st_size) {
            int e = posix_fallocate(t.fd, st.st_size, size - st.st_size);
            if (e != 0 && e != EOPNOTSUPP && e != EINVAL) return status_from_errno(e);
        }
        if (ftruncate(t.fd, size) != 0) return status_from_errno(errno);
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_INFO_CLASS;
}

constexpr long kRemoteFs[] = {0x6969 /* NFS */, 0x517B /* SMB */, static_cast<long>(0xFF534D42),
                              static_cast<long>(0xFE534D42) /* CIFS, SMB2 */};

NTSTATUS query_volume(const Target& t, void* buf, ULONG length, ULONG cls, ULONG_PTR* used) {
    if (cls == FileFsVolumeInformation) {
        constexpr ULONG kFixed = offsetof(NtFileFsVolumeInformation, VolumeLabel);
        if (length < kFixed) return STATUS_INFO_LENGTH_MISMATCH;
        FileFacts f;
        int e = facts_of(t, &f);
        if (e) return status_from_errno(e);
        NtFileFsVolumeInformation* v = static_cast<NtFileFsVolumeInformation*>(buf);
        v->VolumeCreationTime = 0;
        v->VolumeSerialNumber = static_cast<ULONG>(f.dev);
        v->VolumeLabelLength = 0;
        v->SupportsObjects = 0;
        *used = kFixed;
        return STATUS_SUCCESS;
    }
    if (cls == FileFsDeviceInformation) {
        if (length < sizeof(NtFileFsDeviceInformation)) return STATUS_BUFFER_TOO_SMALL;
        FileFacts f;
        int e = facts_of(t, &f);
        if (e) return status_from_errno(e);
        NtFileFsDeviceInformation* d = static_cast<NtFileFsDeviceInformation*>(buf);
        if (!t.link && (S_ISFIFO(f.mode) || S_ISSOCK(f.mode))) {
            d->DeviceType = 0x11; // FILE_DEVICE_NAMED_PIPE
            d->Characteristics = 0;
        } else {
            d->DeviceType = 0x08;      // FILE_DEVICE_DISK_FILE_SYSTEM
            d->Characteristics = 0x20; // FILE_DEVICE_IS_MOUNTED
            struct statfs sf;
            if (!t.link && fstatfs(t.fd, &sf) == 0)
                for (long m : kRemoteFs)
                    if (static_cast<long>(sf.f_type) == m) d->Characteristics |= FILE_REMOTE_DEVICE;
        }
        *used = sizeof(NtFileFsDeviceInformation);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}

} // namespace

// --- shared helpers ---------------------------------------------------------------------

int64_t nt_time_from_unix(int64_t sec, int64_t nsec) {
    return sec * 10000000 + nsec / 100 + kUnixEpochInNt;
}

bool name_is_windows_safe(const char* name, size_t length) {
    if (length == 0) return false;
    if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'))) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || strchr("\\/:*?\"<>|", c)) return false;
    }
    return true;
}

int file_facts(int dirfd, const char* name, int at_flags, const char* leaf, FileFacts* out) {
    memset(out, 0, sizeof *out);
    struct statx sx;
    if (statx(dirfd, name, at_flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return errno;
    mode_t m = sx.stx_mode;
    out->mode = m;
    out->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    out->ino = sx.stx_ino;
    out->nlink = sx.stx_nlink;
    out->access_time = nt_time_from_unix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    out->write_time = nt_time_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    out->change_time = nt_time_from_unix(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
    // Without a birth time, the earlier of the write and change times.
    const struct statx_timestamp& born = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime
                                         : (sx.stx_mtime.tv_sec < sx.stx_ctime.tv_sec)
                                             ? sx.stx_mtime
                                             : sx.stx_ctime;
    out->create_time = nt_time_from_unix(born.tv_sec, born.tv_nsec);
    ULONG attr = 0;
    if (S_ISLNK(m)) {
        // A link seen unfollowed: a reparse point, a folder when its target is one.
        struct stat target;
        out->is_link = true;
        out->reparse_tag = IO_REPARSE_TAG_SYMLINK;
        out->is_dir = fstatat(dirfd, name, &target, at_flags & ~AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISDIR(target.st_mode);
        attr = FILE_ATTRIBUTE_REPARSE_POINT |
               (out->is_dir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE);
    } else if (S_ISDIR(m)) {
        out->is_dir = true;
        attr = FILE_ATTRIBUTE_DIRECTORY;
    } else {
        out->size = static_cast<int64_t>(sx.stx_size);
        out->allocation = static_cast<int64_t>(sx.stx_blocks) * 512;
        attr = FILE_ATTRIBUTE_ARCHIVE;
    }
    if (!S_ISLNK(m) && no_write_bit(m)) attr |= FILE_ATTRIBUTE_READONLY;
    if (leaf && leaf[0] == '.') attr |= FILE_ATTRIBUTE_HIDDEN;
    out->attributes = attr;
    return 0;
}

} // namespace standin

using namespace standin;

extern "C" {

NTSTATUS NTAPI NtCreateFile(HANDLE* FileHandle, ACCESS_MASK DesiredAccess,
                            NtObjectAttributes* ObjectAttributes, NtIoStatusBlock* IoStatusBlock,
                            LARGE_INTEGER* AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, void* EaBuffer,
                            ULONG EaLength) {
    (void)AllocationSize;
    (void)EaBuffer;
    (void)EaLength;
    ACCESS_MASK access = map_generic(DesiredAccess);
    ++g_call_log.opens;
    if (access & kWriteData) ++g_call_log.write_opens;
    g_call_log.last_access = DesiredAccess;
    g_call_log.last_share = ShareAccess;
    g_call_log.last_disposition = CreateDisposition;
    g_call_log.last_attributes = FileAttributes;
    g_call_log.last_options = CreateOptions;

    if (!FileHandle || !ObjectAttributes || !IoStatusBlock) return STATUS_INVALID_PARAMETER;
    *FileHandle = nullptr;
    FaultRule rule;
    bool iosb_only = false;
    if (fault_take(FAULT_OPEN, 0, &rule)) {
        // short_to >= 0: the call succeeds and the status goes to the I/O status block.
        if (rule.short_to < 0) return rule.status;
        iosb_only = true;
    }
    if (CreateDisposition > FILE_OVERWRITE_IF ||
        (CreateOptions & (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE)) ==
            (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;

    OpenPlan plan{nullptr,           false,         access,        ShareAccess,
                  CreateDisposition, CreateOptions, FileAttributes};
    NTSTATUS s = posix_path_from_native(ObjectAttributes, &plan.path, &plan.trailing);
    if (s != STATUS_SUCCESS) return s;

    bool link_itself = false;
    int fd = -1;
    ULONG_PTR info = 0;
    {
        std::lock_guard<std::mutex> g(g_open_lock);
        struct stat st;
        bool follow = !(CreateOptions & FILE_OPEN_REPARSE_POINT);
        int r = follow ? stat(plan.path, &st) : lstat(plan.path, &st);
        if (r == 0) {
            link_itself = S_ISLNK(st.st_mode);
            s = open_existing(plan, st, link_itself, &fd, &info);
        } else if (errno == ENOENT) {
            s = create_new(plan, &fd, &info);
        } else {
            s = status_for_path_error(errno, plan.path);
        }
        if (s == STATUS_SUCCESS) {
            struct stat now;
            Object* obj = static_cast<Object*>(calloc(1, sizeof(Object)));
            if (!obj || fstat(fd, &now) != 0) {
                free(obj);
                close(fd);
                free(plan.path);
                return obj ? status_from_errno(errno) : STATUS_NO_MEMORY;
            }
            // Replaced by a pipe or device since the check: still no data access.
            if (!link_itself && is_special(now.st_mode) && (access & kDataAccess)) {
                free(obj);
                close(fd);
                free(plan.path);
                return STATUS_ACCESS_DENIED;
            }
            bool is_dir = S_ISDIR(now.st_mode);
            if (link_itself) {
                struct stat target;
                is_dir = stat(plan.path, &target) == 0 && S_ISDIR(target.st_mode);
            }
            char* shown = reported_path(plan.path, link_itself);
            obj->nt_name = shown ? native_name_of(shown, is_dir) : nullptr;
            if (!obj->nt_name) obj->nt_name = native_name_of(plan.path, is_dir);
            free(shown);
            obj->kind = S_ISDIR(now.st_mode) ? ObjKind::Directory : ObjKind::File;
            obj->fd = fd;
            obj->access = access;
            obj->share = ShareAccess;
            obj->options = CreateOptions;
            obj->dev = now.st_dev;
            obj->ino = now.st_ino;
            obj->unix_path = plan.path;
            obj->reparse = link_itself;
            obj->delete_on_close = CreateOptions & kFileDeleteOnClose;
            plan.path = nullptr;
            *FileHandle = handle_insert(obj);
        }
    }
    free(plan.path);
    if (s != STATUS_SUCCESS) return s;
    IoStatusBlock->Status = iosb_only ? rule.status : STATUS_SUCCESS;
    IoStatusBlock->Information = info;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, NtIoStatusBlock* IoStatusBlock,
                                      void* FileInformation, ULONG Length,
                                      ULONG FileInformationClass) {
    FaultRule rule;
    if (fault_take(FAULT_QUERY_INFO, FileInformationClass, &rule)) return rule.status;
    Target t;
    if (!target_of(FileHandle, &t)) return STATUS_INVALID_HANDLE;
    ULONG_PTR used = 0;
    NTSTATUS s = query_file(t, FileInformation, Length, FileInformationClass, &used);
    if (EOL_NT_SUCCESS(s) || s == STATUS_BUFFER_OVERFLOW) {
        IoStatusBlock->Status = s;
        IoStatusBlock->Information = used;
    }
    return s;
}

NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, NtIoStatusBlock* IoStatusBlock,
                                    void* FileInformation, ULONG Length,
                                    ULONG FileInformationClass) {
    FaultRule rule;
    if (fault_take(FAULT_SET_INFO, FileInformationClass, &rule)) return rule.status;
    Target t;
    if (!target_of(FileHandle, &t)) return STATUS_INVALID_HANDLE;
    NTSTATUS s = set_file(t, FileInformation, Length, FileInformationClass);
    if (s == STATUS_SUCCESS) {
        IoStatusBlock->Status = s;
        IoStatusBlock->Information = 0;
    }
    return s;
}

NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle, NtIoStatusBlock* IoStatusBlock,
                                            void* FsInformation, ULONG Length,
                                            ULONG FsInformationClass) {
    FaultRule rule;
    if (fault_take(FAULT_QUERY_VOL, FsInformationClass, &rule)) return rule.status;
    Target t;
    if (!target_of(FileHandle, &t)) return STATUS_INVALID_HANDLE;
    ULONG_PTR used = 0;
    NTSTATUS s = query_volume(t, FsInformation, Length, FsInformationClass, &used);
    if (s == STATUS_SUCCESS) {
        IoStatusBlock->Status = s;
        IoStatusBlock->Information = used;
    }
    return s;
}

NTSTATUS NTAPI NtQueryObject(HANDLE Handle, ULONG ObjectInformationClass, void* ObjectInformation,
                             ULONG ObjectInformationLength, ULONG* ReturnLength) {
    FaultRule rule;
    if (fault_take(FAULT_QUERY_OBJ, ObjectInformationClass, &rule)) return rule.status;
    Object* obj = handle_lookup(Handle);
    if (!obj) return STATUS_INVALID_HANDLE;
    if (ObjectInformationClass != ObjectNameInformation) return STATUS_INVALID_INFO_CLASS;
    size_t n = obj->nt_name ? u16len(obj->nt_name) : 0;
    ULONG need = static_cast<ULONG>(sizeof(NtObjectNameInformation) + (n + 1) * 2);
    if (ReturnLength) *ReturnLength = need;
    if (ObjectInformationLength < sizeof(NtObjectNameInformation))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (ObjectInformationLength < need) return STATUS_BUFFER_OVERFLOW;
    NtObjectNameInformation* info = static_cast<NtObjectNameInformation*>(ObjectInformation);
    WCHAR* text = reinterpret_cast<WCHAR*>(info + 1);
    if (n) memcpy(text, obj->nt_name, n * 2);
    text[n] = 0;
    info->Name.Length = static_cast<USHORT>(n * 2);
    info->Name.MaximumLength = static_cast<USHORT>(n * 2 + 2);
    info->Name.Buffer = n ? text : nullptr;
    return STATUS_SUCCESS;
}

} // extern "C"
