// The native create call of the stand-in: opening and creating files and
// folders by native name, with the share modes of the system, and the
// object name of a handle. Drive Z: is the POSIX root, as Wine presents it.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace standin {

namespace {

constexpr ACCESS_MASK kReadData = FILE_READ_DATA | FILE_EXECUTE;
constexpr ACCESS_MASK kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;
constexpr ACCESS_MASK kDataAccess = kReadData | kWriteData;
constexpr ACCESS_MASK kGenericAll = 0x10000000;
constexpr ACCESS_MASK kGenericExecute = 0x20000000;
constexpr ACCESS_MASK kMaximumAllowed = 0x02000000;

// Generic rights become the file-specific rights they stand for.
ACCESS_MASK map_generic(ACCESS_MASK a) {
    if (a & GENERIC_READ) a |= 0x120089;
    if (a & GENERIC_WRITE) a |= 0x120116;
    if (a & kGenericExecute) a |= 0x1200A0;
    if (a & (kGenericAll | kMaximumAllowed)) a |= 0x1F01FF;
    return a & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | kGenericExecute |
                                         kGenericAll | kMaximumAllowed);
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

// Makes the last share check and the insertion one step; an open that
// cuts the file holds it from the first check on.
std::mutex g_open_lock;

bool share_conflict(dev_t dev, ino_t ino, ACCESS_MASK access, ULONG share) {
    if (!(access & (kDataAccess | DELETE))) return false;
    ShareCheck c{dev, ino, access, share, false};
    handle_for_each(share_visit, &c);
    return c.conflict;
}

// --- opening --------------------------------------------------------------------------

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
    // The path as a folder descriptor and the rest: a folder opened lately
    // and its last element, so that the system does not walk every folder
    // of a deep path again for each call. AT_FDCWD and the whole path else.
    int at;
    const char* leaf;
    bool trailing;
    ACCESS_MASK access;
    ULONG share, disposition, options, attributes;
    // A security descriptor came with the call: the object is made for its
    // owner alone (the only descriptor this program passes).
    bool owner_only;
};

// Opens an existing object; *info receives the create action.
NTSTATUS open_existing(const OpenPlan& p, const struct stat& st, bool link_itself, int* fd_out,
                       ULONG_PTR* info) {
    bool dir = S_ISDIR(st.st_mode);
    if (link_itself) {
        struct stat target;
        dir = fstatat(p.at, p.leaf, &target, 0) == 0 && S_ISDIR(target.st_mode);
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
        fd = openat(p.at, p.leaf, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    } else if (dir) {
        fd = openat(p.at, p.leaf, O_RDONLY | O_DIRECTORY | kOpenCommon);
        if (fd < 0 && errno == EACCES && !(p.access & kDataAccess))
            fd = openat(p.at, p.leaf, O_PATH | O_DIRECTORY | O_CLOEXEC);
    } else if (is_special(st.st_mode)) {
        fd = openat(p.at, p.leaf, O_PATH | O_CLOEXEC);
    } else {
        fd = openat(p.at, p.leaf, open_flags_for(p.access) | kOpenCommon);
        if (fd < 0 && errno == EACCES && !(p.access & kDataAccess))
            fd = openat(p.at, p.leaf, O_PATH | O_CLOEXEC);
        // Other processes do not see our share modes; those that cooperate
        // through advisory locks wait while we write a file no one else may write.
        if (fd >= 0 && (p.access & kWriteData) && !(p.share & FILE_SHARE_WRITE) &&
            flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            close(fd);
            return STATUS_SHARING_VIOLATION;
        }
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
        if (mkdirat(p.at, p.leaf, p.owner_only ? 0700 : 0777) != 0)
            return status_for_path_error(errno, p.path);
        fd = openat(p.at, p.leaf, O_RDONLY | O_DIRECTORY | kOpenCommon);
    } else {
        if (p.trailing) return STATUS_OBJECT_NAME_INVALID;
        mode_t mode = (p.attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        if (p.owner_only) mode &= 0600;
        fd = openat(p.at, p.leaf, open_flags_for(p.access) | O_CREAT | O_EXCL | kOpenCommon, mode);
        // As for an existing file: other processes see that no one else may write it.
        if (fd >= 0 && (p.access & kWriteData) && !(p.share & FILE_SHARE_WRITE))
            flock(fd, LOCK_EX | LOCK_NB);
    }
    if (fd < 0) return status_for_path_error(errno, p.path);
    *fd_out = fd;
    *info = FILE_CREATED;
    return STATUS_SUCCESS;
}

// The object the plan names, looked at without following a link as its
// last element first: a link there is followed only when asked (`follow`),
// and then reported by its target's name. Not there as written, it is
// looked for with letter case ignored, as Wine does. 0 or -1 with errno,
// as fstatat.
int look_up(OpenPlan* plan, bool follow, struct stat* st, bool* leaf_is_link) {
    int r = fstatat(plan->at, plan->leaf, st, AT_SYMLINK_NOFOLLOW);
    *leaf_is_link = r == 0 && S_ISLNK(st->st_mode) && follow;
    if (*leaf_is_link) r = fstatat(plan->at, plan->leaf, st, 0);
    if (r == 0 || errno != ENOENT) return r;
    char* found = lookup_as_wine(plan->path);
    if (!found) {
        errno = ENOENT;
        return -1;
    }
    int again = lstat(found, st);
    *leaf_is_link = again == 0 && S_ISLNK(st->st_mode) && follow;
    if (*leaf_is_link) again = stat(found, st);
    if (again != 0) {
        free(found);
        errno = ENOENT;
        return -1;
    }
    free(plan->path);
    plan->path = found;
    plan->at = AT_FDCWD;
    plan->leaf = found;
    return 0;
}

// The handle's object for the descriptor just opened, from one look at what
// was opened: its kind now, and its facts for the handle's first query.
// Closes fd when it fails.
NTSTATUS make_object(const OpenPlan& plan, int fd, bool link_itself, bool leaf_is_link,
                     Object** out) {
    FileFacts facts;
    const char* slash = strrchr(plan.path, '/');
    Object* obj = static_cast<Object*>(calloc(1, sizeof(Object)));
    int looked = obj ? file_facts(fd, "", AT_EMPTY_PATH, slash ? slash + 1 : plan.path, &facts) : 0;
    NTSTATUS s = !obj ? STATUS_NO_MEMORY : looked != 0 ? status_from_errno(looked) : STATUS_SUCCESS;
    // Replaced by a pipe or device since the check: still no data access.
    if (s == STATUS_SUCCESS && !link_itself && is_special(facts.mode) &&
        (plan.access & kDataAccess))
        s = STATUS_ACCESS_DENIED;
    if (s != STATUS_SUCCESS) {
        free(obj);
        close(fd);
        return s;
    }
    bool is_dir = S_ISDIR(facts.mode);
    if (link_itself) {
        struct stat target;
        is_dir = fstatat(plan.at, plan.leaf, &target, 0) == 0 && S_ISDIR(target.st_mode);
    }
    // The reported name is made when first asked for: resolving every
    // folder above the file costs a call per folder.
    obj->is_dir = is_dir;
    obj->type = facts.mode & S_IFMT;
    obj->rdev = facts.rdev;
    obj->leaf_is_link = leaf_is_link;
    obj->kind = S_ISDIR(facts.mode) ? ObjKind::Directory : ObjKind::File;
    obj->fd = fd;
    obj->access = plan.access;
    obj->share = plan.share;
    obj->options = plan.options;
    obj->dev = facts.dev;
    obj->ino = facts.ino;
    obj->reparse = link_itself;
    obj->open_facts = facts;
    obj->open_facts_fresh = !link_itself && !leaf_is_link; // before it is shared
    obj->delete_on_close = plan.options & kFileDeleteOnClose;
    *out = obj;
    return STATUS_SUCCESS;
}

// Opens or creates what the plan names and hands out its handle. A call
// that may cut a file holds the process's open lock throughout; any other
// takes it only for the share check and the insertion, one step.
NTSTATUS open_planned(OpenPlan* plan, ULONG_PTR* info, HANDLE* handle) {
    ULONG disposition = plan->disposition;
    bool cuts = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                disposition == FILE_OVERWRITE_IF;
    std::unique_lock<std::mutex> whole(g_open_lock, std::defer_lock);
    if (cuts) whole.lock();
    anchor_hold();
    plan->at = anchor_borrow(plan->path, &plan->leaf);
    struct stat st;
    bool leaf_is_link = false;
    int r = look_up(plan, !(plan->options & FILE_OPEN_REPARSE_POINT), &st, &leaf_is_link);
    bool link_itself = r == 0 && S_ISLNK(st.st_mode);
    int fd = -1;
    NTSTATUS s;
    if (r == 0)
        s = open_existing(*plan, st, link_itself, &fd, info);
    else if (errno == ENOENT)
        s = create_new(*plan, &fd, info);
    else
        s = status_for_path_error(errno, plan->path);
    Object* obj = nullptr;
    if (s == STATUS_SUCCESS) s = make_object(*plan, fd, link_itself, leaf_is_link, &obj);
    anchor_unhold();
    if (s != STATUS_SUCCESS) return s;
    // The handles of the process are checked once more with the object in
    // hand: another thread may have opened it meanwhile.
    std::unique_lock<std::mutex> step(g_open_lock, std::defer_lock);
    if (!whole.owns_lock()) step.lock();
    if (share_conflict(obj->dev, obj->ino, plan->access, plan->share)) {
        close(fd);
        free(obj);
        return STATUS_SHARING_VIOLATION;
    }
    obj->unix_path = plan->path;
    plan->path = nullptr;
    *handle = handle_insert(obj);
    if (obj->kind == ObjKind::Directory) anchor_remember(obj->unix_path, fd);
    return STATUS_SUCCESS;
}

} // namespace

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
    CALL_LOG_COUNT(opens, 1);
    if (access & kWriteData) CALL_LOG_COUNT(write_opens, 1);
    CALL_LOG_NOTE(last_access, DesiredAccess);
    CALL_LOG_NOTE(last_share, ShareAccess);
    CALL_LOG_NOTE(last_disposition, CreateDisposition);
    CALL_LOG_NOTE(last_attributes, FileAttributes);
    CALL_LOG_NOTE(last_options, CreateOptions);

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

    OpenPlan plan{nullptr,
                  AT_FDCWD,
                  nullptr,
                  false,
                  access,
                  ShareAccess,
                  CreateDisposition,
                  CreateOptions,
                  FileAttributes,
                  ObjectAttributes->SecurityDescriptor != nullptr};
    NTSTATUS s = posix_path_from_native(ObjectAttributes, &plan.path, &plan.trailing);
    if (s != STATUS_SUCCESS) return s;
    ULONG_PTR info = 0;
    s = open_planned(&plan, &info, FileHandle);
    free(plan.path);
    if (s != STATUS_SUCCESS) return s;
    IoStatusBlock->Status = iosb_only ? rule.status : STATUS_SUCCESS;
    IoStatusBlock->Information = info;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtQueryObject(HANDLE Handle, ULONG ObjectInformationClass, void* ObjectInformation,
                             ULONG ObjectInformationLength, ULONG* ReturnLength) {
    FaultRule rule;
    if (fault_take(FAULT_QUERY_OBJ, ObjectInformationClass, &rule)) return rule.status;
    Object* obj = handle_lookup(Handle);
    if (!obj) return STATUS_INVALID_HANDLE;
    if (ObjectInformationClass != ObjectNameInformation) return STATUS_INVALID_INFO_CLASS;
    const char16_t* name = object_nt_name(obj);
    size_t n = name ? u16len(name) : 0;
    ULONG need = static_cast<ULONG>(sizeof(NtObjectNameInformation) + (n + 1) * 2);
    if (ReturnLength) *ReturnLength = need;
    if (ObjectInformationLength < sizeof(NtObjectNameInformation))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (ObjectInformationLength < need) return STATUS_BUFFER_OVERFLOW;
    NtObjectNameInformation* info = static_cast<NtObjectNameInformation*>(ObjectInformation);
    WCHAR* text = reinterpret_cast<WCHAR*>(info + 1);
    if (n) memcpy(text, name, n * 2);
    text[n] = 0;
    info->Name.Length = static_cast<USHORT>(n * 2);
    info->Name.MaximumLength = static_cast<USHORT>(n * 2 + 2);
    info->Name.Buffer = n ? text : nullptr;
    return STATUS_SUCCESS;
}

} // extern "C"
