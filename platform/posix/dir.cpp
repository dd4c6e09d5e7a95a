// The stand-in's directory query: NtQueryDirectoryFile with the record
// formats 1, 38 and 60, laid out as Windows lays them out.
//
// At the first query of a handle the whole folder is read into one block of
// names ("." and ".." first, as Windows gives them, then the order of the
// file system); batches are served from that block, each entry described by
// lstat at the moment it is handed out. A record that does not fit waits for
// the next call.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"
#include "platform/posix/text.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace standin {

// One heap block (freed with free() by object_free): this header, then the
// names, each NUL-terminated.
struct DirState {
    size_t size;   // bytes of names
    size_t cursor; // offset of the next name to hand out
    char* names() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

// Appends a name; false when out of memory (the block is then still valid).
bool append_name(DirState** state, size_t* capacity, const char* name) {
    size_t n = strlen(name) + 1;
    DirState* s = *state;
    if (s->size + n > *capacity) {
        size_t cap = (*capacity + n) * 2;
        auto* grown = static_cast<DirState*>(realloc(s, sizeof(DirState) + cap));
        if (!grown) return false;
        *state = s = grown;
        *capacity = cap;
    }
    memcpy(s->names() + s->size, name, n);
    s->size += n;
    return true;
}

// Reads the folder behind `fd` into a new DirState.
NTSTATUS read_folder(int fd, DirState** out) {
    *out = nullptr;
    // A fresh description of its own: the handle's descriptor may be O_PATH,
    // and its offset is not ours to move.
    int own = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) return status_from_errno(errno);
    DIR* d = fdopendir(own);
    if (!d) {
        int e = errno;
        close(own);
        return status_from_errno(e);
    }
    size_t capacity = 4096;
    auto* s = static_cast<DirState*>(malloc(sizeof(DirState) + capacity));
    NTSTATUS status = STATUS_SUCCESS;
    if (!s) {
        status = STATUS_NO_MEMORY;
    } else {
        s->size = s->cursor = 0;
        bool ok = append_name(&s, &capacity, ".") && append_name(&s, &capacity, "..");
        while (ok) {
            errno = 0;
            struct dirent* de = readdir(d);
            if (!de) {
                if (errno != 0) status = status_from_errno(errno);
                break;
            }
            const char* n = de->d_name;
            if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
            ok = append_name(&s, &capacity, n);
        }
        if (!ok) status = STATUS_NO_MEMORY;
        if (status != STATUS_SUCCESS) {
            free(s);
            s = nullptr;
        }
    }
    closedir(d);
    *out = s;
    return status;
}

ULONG name_offset_of(ULONG cls) {
    switch (cls) {
    case FileDirectoryInformation:
        return offsetof(NtFileDirectoryInformation, FileName);
    case FileIdFullDirectoryInformation:
        return offsetof(NtFileIdFullDirInformation, FileName);
    case FileIdExtdDirectoryInformation:
        return offsetof(NtFileIdExtdDirInformation, FileName);
    }
    return 0;
}

// The fields the three formats share sit at the same offsets up to the
// name length (and, for 38 and 60, the EA size).
template <typename R> void fill_shared(R* r, const FileFacts& f, ULONG name_bytes) {
    r->CreationTime = f.create_time;
    r->LastAccessTime = f.access_time;
    r->LastWriteTime = f.write_time;
    r->ChangeTime = f.change_time;
    r->EndOfFile = f.size;
    r->AllocationSize = f.allocation;
    r->FileAttributes = f.attributes;
    r->FileNameLength = name_bytes;
}

// Writes one record's fixed part at `at` (NextEntryOffset 0).
void write_record(unsigned char* at, ULONG cls, const FileFacts& f, ULONG name_bytes) {
    memset(at, 0, name_offset_of(cls));
    bool reparse = f.attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (cls == FileDirectoryInformation) {
        fill_shared(reinterpret_cast<NtFileDirectoryInformation*>(at), f, name_bytes);
    } else if (cls == FileIdFullDirectoryInformation) {
        auto* r = reinterpret_cast<NtFileIdFullDirInformation*>(at);
        fill_shared(r, f, name_bytes);
        r->EaSize = reparse ? f.reparse_tag : 0; // holds the tag of a reparse point
        r->FileId = static_cast<int64_t>(f.ino);
    } else {
        auto* r = reinterpret_cast<NtFileIdExtdDirInformation*>(at);
        fill_shared(r, f, name_bytes);
        r->ReparsePointTag = reparse ? f.reparse_tag : 0;
        uint64_t id = f.ino;
        memcpy(r->FileId, &id, sizeof id);
    }
}

// Facts of one listed name; false when it has gone since the folder was read.
bool facts_of_entry(int dirfd, const char* name, FileFacts* f) {
    int e;
    if (strcmp(name, ".") == 0)
        e = file_facts(dirfd, "", AT_EMPTY_PATH, nullptr, f);
    else if (strcmp(name, "..") == 0)
        e = file_facts(dirfd, "..", 0, nullptr, f);
    else
        e = file_facts(dirfd, name, AT_SYMLINK_NOFOLLOW, name, f);
    if (e == ENOENT) return false;
    if (e != 0) {
        // Listed but not describable (a folder without search permission):
        // still listed, as a plain file that will fail to open.
        memset(f, 0, sizeof *f);
        f->attributes = FILE_ATTRIBUTE_ARCHIVE;
        if (name[0] == '.') f->attributes |= FILE_ATTRIBUTE_HIDDEN;
    }
    return true;
}

constexpr size_t align8(size_t n) {
    return (n + 7) & ~size_t{7};
}

NTSTATUS query_dir(Object* obj, ULONG cls, unsigned char* buf, ULONG length, bool single,
                   bool restart, ULONG_PTR* used_out) {
    *used_out = 0;
    if (restart && obj->dir) {
        free(obj->dir);
        obj->dir = nullptr;
    }
    if (!obj->dir) {
        NTSTATUS s = read_folder(obj->fd, &obj->dir);
        if (s != STATUS_SUCCESS) return s;
    }
    DirState* st = obj->dir;
    const ULONG fixed = name_offset_of(cls);
    size_t used = 0;
    size_t last = SIZE_MAX; // offset of the last record written
    char16_t units[NAME_MAX + 1];
    while (st->cursor < st->size) {
        const char* name = st->names() + st->cursor;
        size_t step = strlen(name) + 1;
        FileFacts f;
        if (!facts_of_entry(obj->fd, name, &f)) {
            st->cursor += step;
            continue;
        }
        // Each name in its own Windows form, which opens it again exactly.
        size_t n = posix_text_to_utf16(name, units, PosixText::Name);
        ULONG name_bytes = static_cast<ULONG>(n * 2);
        size_t at = last == SIZE_MAX ? 0 : align8(used);
        if (at + fixed + name_bytes > length) {
            if (last != SIZE_MAX) break;
            // Not even the first record fits: as much as fits, and it stays next.
            write_record(buf, cls, f, name_bytes);
            memcpy(buf + fixed, units, (length - fixed) & ~ULONG{1});
            *used_out = length;
            return STATUS_BUFFER_OVERFLOW;
        }
        write_record(buf + at, cls, f, name_bytes);
        memcpy(buf + at + fixed, units, name_bytes);
        if (last != SIZE_MAX) {
            ULONG link = static_cast<ULONG>(at - last);
            memcpy(buf + last, &link, sizeof link);
        }
        last = at;
        used = at + fixed + name_bytes;
        st->cursor += step;
        if (single) break;
    }
    if (last == SIZE_MAX) return STATUS_NO_MORE_FILES;
    *used_out = used;
    return STATUS_SUCCESS;
}

} // namespace

} // namespace standin

using namespace standin;

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, void* ApcRoutine,
                                               void* ApcContext, NtIoStatusBlock* IoStatusBlock,
                                               void* FileInformation, ULONG Length,
                                               ULONG FileInformationClass,
                                               BOOLEAN ReturnSingleEntry, NtUnicodeString* FileName,
                                               BOOLEAN RestartScan) {
    (void)Event;
    (void)ApcRoutine;
    (void)ApcContext;
    CALL_LOG_COUNT(dir_queries, 1);
    FaultRule rule;
    if (fault_take(FAULT_QUERY_DIR, FileInformationClass, &rule)) return rule.status;
    Object* obj = handle_lookup(FileHandle);
    if (!obj) return STATUS_INVALID_HANDLE;
    if (obj->kind != ObjKind::Directory || obj->fd < 0 || !IoStatusBlock)
        return STATUS_INVALID_PARAMETER;
    ULONG fixed = name_offset_of(FileInformationClass);
    if (fixed == 0) return STATUS_INVALID_INFO_CLASS;
    if (!FileInformation || Length < fixed) return STATUS_INFO_LENGTH_MISMATCH;
    if (!(obj->access & FILE_LIST_DIRECTORY)) return STATUS_ACCESS_DENIED;
    // Name filters are not needed by the system and not supported.
    if (FileName && FileName->Length != 0) return STATUS_NOT_IMPLEMENTED;
    ULONG_PTR used = 0;
    NTSTATUS s = query_dir(obj, FileInformationClass, static_cast<unsigned char*>(FileInformation),
                           Length, ReturnSingleEntry, RestartScan, &used);
    IoStatusBlock->Status = s;
    IoStatusBlock->Information = used;
    return s;
}
