// The stand-in's file information calls: querying and setting what a
// handle refers to (times, size, attributes, position, names) and the
// volume it lies on, and the file facts shared with the directory calls.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace standin {

namespace {

constexpr int64_t kUnixEpochInNt = 116444736000000000LL; // 1970-01-01 in 1601 units

// Guards the write time each handle last reported; a handle may be queried
// and set from several threads at once.
std::mutex g_shown_lock;

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

int facts_of(const Target& t, FileFacts* f) {
    if (t.obj && !t.link &&
        __atomic_exchange_n(&t.obj->open_facts_fresh, false, __ATOMIC_ACQ_REL)) {
        *f = t.obj->open_facts;
        return 0;
    }
    char leaf[NAME_MAX * 3 + 4];
    object_leaf(t.obj, leaf, sizeof leaf);
    if (t.link) return file_facts(AT_FDCWD, t.obj->unix_path, AT_SYMLINK_NOFOLLOW, leaf, f);
    return file_facts(t.fd, "", AT_EMPTY_PATH, leaf, f);
}

// The name FileAllInformation and FileNameInformation report: the path
// below the volume, without a folder's closing backslash (but "\" for the root).
const char16_t* volume_relative_name(Object* obj, size_t* n) {
    static const char16_t kRoot[] = u"\\";
    const char16_t* name = obj ? object_nt_name(obj) : nullptr;
    if (!name) {
        *n = 0;
        return kRoot;
    }
    const char16_t* s = name + 6; // past "\??\Z:"
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

// Linux keeps nanoseconds, NT times count 100 ns: a time read and set back
// would lose its last two digits. Remembered here, they are given back.
void remember_write_time(const Target& t, const FileFacts& f) {
    if (!t.obj) return;
    std::lock_guard<std::mutex> g(g_shown_lock);
    t.obj->shown_write_time = f.write_time;
    t.obj->shown_write_rest = f.write_time_rest;
    if (t.obj->first_write_time == 0) {
        t.obj->first_write_time = f.write_time;
        t.obj->first_write_rest = f.write_time_rest;
    }
}

// The nanoseconds to add to a write time being set: those the handle's
// first or last report dropped, when it is that time.
long write_time_rest_for(const Target& t, int64_t time) {
    if (!t.obj) return 0;
    std::lock_guard<std::mutex> g(g_shown_lock);
    if (t.obj->shown_write_time == time) return t.obj->shown_write_rest;
    return t.obj->first_write_time == time ? t.obj->first_write_rest : 0;
}

int64_t current_offset(const Target& t) {
    int64_t mark = t.obj ? __atomic_load_n(&t.obj->pointer_mark, __ATOMIC_ACQUIRE) : 0;
    if (mark) return mark - 1;
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
    case FileStatInformation:
        return sizeof(NtFileStatInformation);
    }
    return 0;
}

// Fills the layout of one information class from one look at the file. Long
// as a table is: a case for each class the stand-in answers, each a few
// assignments.
NTSTATUS query_file(const Target& t, void* buf, ULONG length, ULONG cls, ULONG_PTR* used) {
    ULONG fixed = fixed_size_of(cls);
    if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
    if (length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    FileFacts f;
    if (cls != FilePositionInformation && cls != kFileNameInformation) {
        int e = facts_of(t, &f);
        if (e) return status_from_errno(e);
        if (t.obj && !t.link && !f.is_dir) {
            __atomic_store_n(&t.obj->size_mark, f.size + 1, __ATOMIC_RELEASE);
        }
        if (cls == FileBasicInformation || cls == FileAllInformation ||
            cls == FileNetworkOpenInformation || cls == FileStatInformation)
            remember_write_time(t, f);
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
    case FileStatInformation: {
        NtFileStatInformation* o = static_cast<NtFileStatInformation*>(buf);
        o->FileId = static_cast<int64_t>(f.ino);
        o->CreationTime = f.create_time;
        o->LastAccessTime = f.access_time;
        o->LastWriteTime = f.write_time;
        o->ChangeTime = f.change_time;
        o->AllocationSize = f.allocation;
        o->EndOfFile = f.size;
        o->FileAttributes = f.attributes;
        o->ReparseTag = f.reparse_tag;
        o->NumberOfLinks = f.nlink;
        o->EffectiveAccess = t.obj ? t.obj->access : 0x1F01FF;
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
    if (ts[1].tv_nsec != UTIME_OMIT) ts[1].tv_nsec += write_time_rest_for(t, b->LastWriteTime);
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

// A new name for the object, in the same folder or another, refused when
// the name is taken unless the caller asks to replace what holds it.
NTSTATUS set_name(const Target& t, void* buf, ULONG length) {
    if (length < offsetof(NtFileRenameInformation, FileName)) return STATUS_INFO_LENGTH_MISMATCH;
    NtFileRenameInformation head;
    memcpy(&head, buf, offsetof(NtFileRenameInformation, FileName));
    if (length < offsetof(NtFileRenameInformation, FileName) + head.FileNameLength ||
        head.FileNameLength > 0xFFFE)
        return STATUS_INFO_LENGTH_MISMATCH;
    if (!t.obj || !t.obj->unix_path) return STATUS_INVALID_HANDLE;
    if (!(t.obj->access & DELETE)) return STATUS_ACCESS_DENIED;
    NtUnicodeString name{static_cast<USHORT>(head.FileNameLength),
                         static_cast<USHORT>(head.FileNameLength),
                         reinterpret_cast<WCHAR*>(static_cast<char*>(buf) +
                                                  offsetof(NtFileRenameInformation, FileName))};
    NtObjectAttributes oa{};
    oa.Length = sizeof oa;
    oa.RootDirectory = head.RootDirectory;
    oa.ObjectName = &name;
    char* to = nullptr;
    bool trailing = false;
    if (NTSTATUS s = posix_path_from_native(&oa, &to, &trailing)) return s;
    unsigned flags = head.ReplaceIfExists ? 0 : RENAME_NOREPLACE;
    if (renameat2(AT_FDCWD, t.obj->unix_path, AT_FDCWD, to, flags) != 0) {
        int e = errno;
        free(to);
        return e == EEXIST ? STATUS_OBJECT_NAME_COLLISION : status_from_errno(e);
    }
    free(t.obj->unix_path);
    t.obj->unix_path = to;
    free(t.obj->nt_name);
    t.obj->nt_name = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS set_file(const Target& t, void* buf, ULONG length, ULONG cls) {
    if (t.obj) __atomic_store_n(&t.obj->open_facts_fresh, false, __ATOMIC_RELEASE);
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
        if (t.obj) __atomic_store_n(&t.obj->pointer_mark, 0, __ATOMIC_RELEASE);
        return STATUS_SUCCESS;
    }
    case FileDispositionInformation: {
        // Windows deletes the file once its last handle closes; here the name
        // goes at once, which no caller of this program can tell apart.
        if (length < 1) return STATUS_INFO_LENGTH_MISMATCH;
        if (!*static_cast<const uint8_t*>(buf)) return STATUS_SUCCESS;
        if (!t.obj || !t.obj->unix_path) return STATUS_INVALID_HANDLE;
        if (!(t.obj->access & DELETE)) return STATUS_ACCESS_DENIED;
        if (unlink(t.obj->unix_path) != 0) return status_from_errno(errno);
        return STATUS_SUCCESS;
    }
    case FileRenameInformation:
        return set_name(t, buf, length);
    case FileEndOfFileInformation: {
        if (length < 8) return STATUS_INFO_LENGTH_MISMATCH;
        int64_t size;
        memcpy(&size, buf, 8);
        if (t.obj && !(t.obj->access & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
        if (size < 0 || (t.obj && t.obj->kind == ObjKind::Directory))
            return STATUS_INVALID_PARAMETER;
        // Windows reserves the space of a file it extends; a bare ftruncate
        // would leave a hole that a full disk only reports at the writes.
        // A cut below the length the handle just saw needs no look.
        int64_t seen = t.obj ? __atomic_load_n(&t.obj->size_mark, __ATOMIC_ACQUIRE) : 0;
        bool cut = seen != 0 && size <= seen - 1;
        if (!cut) {
            struct stat st;
            if (fstat(t.fd, &st) != 0) return status_from_errno(errno);
            if (size > st.st_size) {
                int e = posix_fallocate(t.fd, st.st_size, size - st.st_size);
                if (e != 0 && e != EOPNOTSUPP && e != EINVAL) return status_from_errno(e);
            }
        }
        if (ftruncate(t.fd, size) != 0) return status_from_errno(errno);
        if (t.obj) {
            __atomic_store_n(&t.obj->size_mark, size + 1, __ATOMIC_RELEASE);
        }
        return STATUS_SUCCESS;
    }
    }
    return STATUS_INVALID_INFO_CLASS;
}

constexpr long kRemoteFs[] = {0x6969 /* NFS */, 0x517B /* SMB */, static_cast<long>(0xFF534D42),
                              static_cast<long>(0xFE534D42) /* CIFS, SMB2 */};

struct FsName {
    long magic;
    const char16_t* name;
};
constexpr FsName kFsNames[] = {{static_cast<long>(0x9123683E), u"btrfs"},
                               {0x2FC12FC1, u"zfs"},
                               {static_cast<long>(0xCA451A4E), u"bcachefs"}};
// The kind of file behind a handle (mode and device only): an open file
// never changes its kind, so the handle's record tells it without a call.
int type_of(const Target& t, FileFacts* f) {
    memset(f, 0, sizeof *f);
    if (t.obj && !t.link) {
        f->mode = t.obj->type;
        f->rdev = t.obj->rdev;
        return 0;
    }
    return facts_of(t, f);
}

bool is_device_mode(uint32_t m) {
    return S_ISCHR(m) || S_ISBLK(m) || S_ISFIFO(m) || S_ISSOCK(m);
}

constexpr long kProcFs = 0x9FA0;
constexpr unsigned kMemMajor = 1, kTtyMajor = 4, kTtyAuxMajor = 5;

// The type of the file system a handle's file lies on. A mounted file
// system keeps its type: it is asked once for each device number.
struct KnownType {
    dev_t dev;
    long type;
};
std::mutex g_types_lock;
KnownType g_types[16];
size_t g_type_count;

bool file_system_type(const Target& t, long* type) {
    if (t.obj) {
        std::lock_guard<std::mutex> g(g_types_lock);
        for (size_t i = 0; i < g_type_count; ++i)
            if (g_types[i].dev == t.obj->dev) {
                *type = g_types[i].type;
                return true;
            }
    }
    struct statfs sf;
    if (fstatfs(t.fd, &sf) != 0) return false;
    *type = static_cast<long>(sf.f_type);
    if (t.obj) {
        std::lock_guard<std::mutex> g(g_types_lock);
        g_types[g_type_count % 16] = KnownType{t.obj->dev, *type};
        if (g_type_count < 16) ++g_type_count;
    }
    return true;
}

// The device a handle lies on, as Wine reports it: character devices by
// their major number, block devices as disks, pipes and sockets as named
// pipes, and files by their file system (proc as a virtual disk).
NtFileFsDeviceInformation device_of(const Target& t, const FileFacts& f) {
    NtFileFsDeviceInformation d{EOL_DEVICE_DISK_FILE_SYSTEM, 0x20}; // FILE_DEVICE_IS_MOUNTED
    if (t.link) return d;
    if (S_ISCHR(f.mode)) {
        unsigned major_number = major(static_cast<dev_t>(f.rdev));
        d.DeviceType = major_number == kMemMajor ? EOL_DEVICE_NULL
                       : (major_number == kTtyMajor || major_number == kTtyAuxMajor)
                           ? EOL_DEVICE_SERIAL_PORT
                           : EOL_DEVICE_UNKNOWN;
        d.Characteristics = 0;
        return d;
    }
    if (S_ISBLK(f.mode)) return NtFileFsDeviceInformation{EOL_DEVICE_DISK, 0};
    if (S_ISFIFO(f.mode) || S_ISSOCK(f.mode))
        return NtFileFsDeviceInformation{EOL_DEVICE_NAMED_PIPE, 0};
    long type = 0;
    if (file_system_type(t, &type)) {
        if (type == kProcFs) d.DeviceType = EOL_DEVICE_VIRTUAL_DISK;
        for (long m : kRemoteFs)
            if (type == m) d.Characteristics |= FILE_REMOTE_DEVICE;
    }
    return d;
}

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
        int e = type_of(t, &f);
        if (e) return status_from_errno(e);
        NtFileFsDeviceInformation* d = static_cast<NtFileFsDeviceInformation*>(buf);
        *d = device_of(t, f);
        *used = sizeof(NtFileFsDeviceInformation);
        return STATUS_SUCCESS;
    }
    if (cls == FileFsFullSizeInformation) {
        if (length < sizeof(NtFileFsFullSizeInformation)) return STATUS_INFO_LENGTH_MISMATCH;
        struct statvfs sv;
        if (t.link || fstatvfs(t.fd, &sv) != 0) return STATUS_INVALID_DEVICE_REQUEST;
        NtFileFsFullSizeInformation* z = static_cast<NtFileFsFullSizeInformation*>(buf);
        z->TotalAllocationUnits = static_cast<int64_t>(sv.f_blocks);
        z->CallerAvailableAllocationUnits = static_cast<int64_t>(sv.f_bavail);
        z->ActualAvailableAllocationUnits = static_cast<int64_t>(sv.f_bfree);
        z->SectorsPerAllocationUnit = 1;
        z->BytesPerSector = static_cast<ULONG>(sv.f_frsize);
        *used = sizeof(NtFileFsFullSizeInformation);
        return STATUS_SUCCESS;
    }
    if (cls == FileFsAttributeInformation) {
        constexpr ULONG kFixed = offsetof(NtFileFsAttributeInformation, FileSystemName);
        if (length < kFixed) return STATUS_INFO_LENGTH_MISMATCH;
        struct statfs sf;
        if (t.link || fstatfs(t.fd, &sf) != 0) return STATUS_INVALID_DEVICE_REQUEST;
        // File systems that write every changed block anew keep their own
        // names; the others answer as the common case does.
        const char16_t* name = u"NTFS";
        for (const FsName& f : kFsNames)
            if (static_cast<long>(sf.f_type) == f.magic) name = f.name;
        NtFileFsAttributeInformation* a = static_cast<NtFileFsAttributeInformation*>(buf);
        a->FileSystemAttributes = 0x3; // case-sensitive search, case-preserved names
        a->MaximumComponentNameLength = 255;
        size_t n = u16len(name);
        a->FileSystemNameLength = static_cast<ULONG>(n * 2);
        return put_name(buf, length, kFixed, name, n, used);
    }
    if (cls == FileFsSizeInformation) {
        if (length < sizeof(NtFileFsSizeInformation)) return STATUS_INFO_LENGTH_MISMATCH;
        FileFacts f;
        int e = type_of(t, &f);
        if (e) return status_from_errno(e);
        // Devices and pipes have no volume to measure, as under Wine.
        if (!t.link && is_device_mode(f.mode)) return STATUS_INVALID_DEVICE_REQUEST;
        struct statfs sf;
        if (fstatfs(t.fd, &sf) != 0) return status_from_errno(errno);
        NtFileFsSizeInformation* z = static_cast<NtFileFsSizeInformation*>(buf);
        uint64_t unit = sf.f_frsize ? static_cast<uint64_t>(sf.f_frsize) : 4096;
        z->BytesPerSector = 512;
        z->SectorsPerAllocationUnit = static_cast<ULONG>(unit >= 512 ? unit / 512 : 1);
        // Pseudo file systems (proc, sysfs, cgroup ...) report no blocks at all.
        z->TotalAllocationUnits = static_cast<int64_t>(sf.f_blocks);
        z->AvailableAllocationUnits = static_cast<int64_t>(sf.f_bavail);
        *used = sizeof(NtFileFsSizeInformation);
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}

} // namespace

// --- shared helpers ---------------------------------------------------------------------

int64_t nt_time_from_unix(int64_t sec, int64_t nsec) {
    return sec * 10000000 + nsec / 100 + kUnixEpochInNt;
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
    out->rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
    out->access_time = nt_time_from_unix(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    out->write_time = nt_time_from_unix(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    out->write_time_rest = sx.stx_mtime.tv_nsec % 100;
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

} // extern "C"
