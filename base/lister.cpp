#include "base/lister.h"

#include "base/alloc.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/path.h"
#include "base/utf.h"
#include "platform/nt.h"

#include <cstddef>
#include <cstring>

static_assert(offsetof(DirectoryLister, buffer) % 8 == 0);

namespace {

constexpr uint32_t kListAccess =
    0x120089; // SYNCHRONIZE, READ_CONTROL, read attributes and EAs, list
constexpr uint32_t kShareAll = 7;
constexpr uint32_t kFolderOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr uint32_t kAttrReparsePoint = 0x400;
constexpr uint32_t kTagMountPoint = 0xA0000003u;
constexpr uint32_t kTagSymlink = 0xA000000Cu;

template <typename R> const R* as(const void* record) {
    return static_cast<const R*>(record);
}

uint64_t name_to_utf8(DirectoryLister* self, const WCHAR* name, ULONG name_bytes) {
    return utf16_to_utf8(self->name, sizeof self->name, reinterpret_cast<const char16_t*>(name),
                         name_bytes / 2);
}

template <typename R> void fill_common(const R* r, FileEntry* e) {
    e->attributes = r->FileAttributes;
    e->size = static_cast<uint64_t>(r->EndOfFile);
    e->create_time = r->CreationTime;
    e->access_time = r->LastAccessTime;
    e->write_time = r->LastWriteTime;
    e->change_time = r->ChangeTime;
}

void set_link_flags(uint32_t attributes, uint32_t tag, FileEntry* e) {
    if (!(attributes & kAttrReparsePoint)) return;
    if (tag == kTagMountPoint) e->is_mount_point = 1;
    if (tag == kTagSymlink) e->is_symlink = 1;
}

// --- class 60: FILE_ID_EXTD_DIR_INFORMATION --------------------------------------

uint64_t extd_length(const void* record) {
    return as<NtFileIdExtdDirInformation>(record)->FileNameLength +
           uint64_t{offsetof(NtFileIdExtdDirInformation, FileName)};
}
uint64_t extd_name(DirectoryLister* self, const void* record) {
    const auto* r = as<NtFileIdExtdDirInformation>(record);
    return name_to_utf8(self, r->FileName, r->FileNameLength);
}
void extd_fill(const void* record, FileEntry* e) {
    const auto* r = as<NtFileIdExtdDirInformation>(record);
    fill_common(r, e);
    memcpy(&e->file_id[0], r->FileId, 8);
    memcpy(&e->file_id[1], r->FileId + 8, 8);
    set_link_flags(r->FileAttributes, r->ReparsePointTag, e);
}

// --- class 38: FILE_ID_FULL_DIR_INFORMATION --------------------------------------

uint64_t full_length(const void* record) {
    return as<NtFileIdFullDirInformation>(record)->FileNameLength +
           uint64_t{offsetof(NtFileIdFullDirInformation, FileName)};
}
uint64_t full_name(DirectoryLister* self, const void* record) {
    const auto* r = as<NtFileIdFullDirInformation>(record);
    return name_to_utf8(self, r->FileName, r->FileNameLength);
}
void full_fill(const void* record, FileEntry* e) {
    const auto* r = as<NtFileIdFullDirInformation>(record);
    fill_common(r, e);
    e->file_id[0] = static_cast<uint64_t>(r->FileId);
    e->file_id[1] = 0;
    // For a reparse point the EA size field holds its tag.
    set_link_flags(r->FileAttributes, r->EaSize, e);
}

// --- class 1: FILE_DIRECTORY_INFORMATION -------------------------------------------

uint64_t plain_length(const void* record) {
    return as<NtFileDirectoryInformation>(record)->FileNameLength +
           uint64_t{offsetof(NtFileDirectoryInformation, FileName)};
}
uint64_t plain_name(DirectoryLister* self, const void* record) {
    const auto* r = as<NtFileDirectoryInformation>(record);
    return name_to_utf8(self, r->FileName, r->FileNameLength);
}
void plain_fill(const void* record, FileEntry* e) {
    const auto* r = as<NtFileDirectoryInformation>(record);
    fill_common(r, e);
    // No tag in this format: every reparse point is taken for a link.
    if (r->FileAttributes & kAttrReparsePoint) e->is_symlink = e->is_mount_point = 1;
}

const ListingClass kExtd = {FileIdExtdDirectoryInformation,
                            offsetof(NtFileIdExtdDirInformation, FileName), extd_length, extd_name,
                            extd_fill};
const ListingClass kFull = {FileIdFullDirectoryInformation,
                            offsetof(NtFileIdFullDirInformation, FileName), full_length, full_name,
                            full_fill};
const ListingClass kPlain = {FileDirectoryInformation,
                             offsetof(NtFileDirectoryInformation, FileName), plain_length,
                             plain_name, plain_fill};

ErrorCode query_chosen(DirectoryLister* l) {
    return query_directory(l->folder, l->cls.info_class, l->buffer, LISTER_QUERY_SIZE);
}

// Tries the formats from the richest down; the first that answers stays.
ErrorCode query_first(DirectoryLister* l) {
    l->cls = kExtd;
    ErrorCode e = query_chosen(l);
    if (e == 0) return 0;
    l->cls = kFull;
    e = query_chosen(l);
    if (e == 0) return 0;
    l->cls = kPlain;
    return query_chosen(l);
}

bool is_dot_name(const char* name, uint64_t n) {
    return (n == 1 && name[0] == '.') || (n == 2 && name[0] == '.' && name[1] == '.');
}

void release_op(DirectoryLister* self) {
    lister_release(self);
}

const ListerOps kListerOps = {release_op, lister_next};

} // namespace

ErrorCode query_directory(FileHandle folder, uint32_t info_class, void* buf, uint32_t length) {
    if (!handle_is_valid(folder)) return ERR_INVALID_HANDLE;
    NtIoStatusBlock io{};
    NTSTATUS s = NtQueryDirectoryFile(to_native(folder), nullptr, nullptr, nullptr, &io, buf,
                                      length, info_class, FALSE, nullptr, FALSE);
    if (!EOL_NT_SUCCESS(s)) return static_cast<ErrorCode>(RtlNtStatusToDosError(s));
    if (!EOL_NT_SUCCESS(io.Status)) return static_cast<ErrorCode>(RtlNtStatusToDosError(io.Status));
    return 0;
}

ErrorCode lister_open(DirectoryLister** place, const char* folder, uint32_t options) {
    *place = nullptr;
    auto* l = static_cast<DirectoryLister*>(mem_malloc(sizeof(DirectoryLister)));
    if (!l) return ERR_OUT_OF_MEMORY;
    // The listing buffer is always written by a query before it is read.
    memset(l, 0, offsetof(DirectoryLister, buffer));
    l->ops = &kListerOps;
    l->options = options;
    l->cls.fixed = 1;

    ArenaAllocator scratch;
    arena_init(&scratch);
    ErrorCode e = 0;
    const char* full = path_full_checked(arena_base(&scratch), folder, &e);
    if (full) {
        uint64_t len = str_len(full);
        l->path_cap = len + 50 + (len + 5) / 4;
        l->path = static_cast<char*>(mem_malloc(l->path_cap));
        if (!l->path) {
            e = ERR_OUT_OF_MEMORY;
        } else {
            memcpy(l->path, full, len);
            if (len != 0 && full[len - 1] != '\\' && full[len - 1] != '/') l->path[len++] = '\\';
            l->path[len] = 0;
            l->folder_len = len;
        }
    }
    arena_release(&scratch);
    if (e == 0)
        e = file_open_native(l->path, kListAccess, kShareAll, 0, FILE_OPEN, kFolderOptions,
                             &l->folder, nullptr);
    if (e == 0) e = file_query_entry(l->folder, &l->folder_entry);
    if (e != 0) {
        lister_release(l);
        return e;
    }
    *place = l;
    return 0;
}

void lister_release(DirectoryLister* lister) {
    if (!lister) return;
    file_close(lister->folder);
    mem_free(lister->path);
    mem_free(lister);
}

ErrorCode lister_next_record(DirectoryLister* l, const void** record) {
    *record = nullptr;
    const uint8_t* rec = nullptr;
    if (l->cursor + l->cls.fixed <= l->end) {
        rec = l->buffer + l->cursor;
        if (l->cursor + l->cls.record_length(rec) > l->end) rec = nullptr;
    }
    if (!rec) {
        l->cursor = l->end = 0;
        ErrorCode e = l->cls.info_class ? query_chosen(l) : query_first(l);
        if (e != 0) return e;
        l->end = LISTER_BUFFER_SIZE;
        rec = l->buffer;
        if (l->cls.record_length(rec) > l->end) return ERR_NO_MORE_FILES;
    }
    // Every format begins with the offset of the next record, 0 on the last.
    ULONG next;
    memcpy(&next, rec, sizeof next);
    l->cursor = next != 0 ? l->cursor + next : l->end;
    *record = rec;
    return 0;
}

ErrorCode lister_next(DirectoryLister* l, const char** path, uint64_t* name_offset,
                      FileEntry** entry) {
    *path = nullptr;
    *name_offset = 0;
    if (entry) *entry = nullptr;
    const void* rec;
    uint64_t n;
    for (;;) {
        ErrorCode e = lister_next_record(l, &rec);
        if (e != 0) return e;
        n = l->cls.name(l, rec);
        // Longer than any name the system allows (255 UTF-16 units).
        if (n >= sizeof l->name) return ERR_INVALID_NAME;
        if (!is_dot_name(l->name, n)) break;
    }
    uint64_t need = l->folder_len + n;
    if (need >= l->path_cap) {
        uint64_t cap = need + need * 5 / 4 + 50;
        auto* grown = static_cast<char*>(mem_malloc(cap));
        if (!grown) return ERR_OUT_OF_MEMORY;
        memcpy(grown, l->path, l->folder_len);
        mem_free(l->path);
        l->path = grown;
        l->path_cap = cap;
    }
    memcpy(l->path + l->folder_len, l->name, n + 1);

    memset(&l->entry, 0, sizeof l->entry);
    l->cls.fill(rec, &l->entry);
    // Every entry of a folder is taken to live on the folder's volume.
    memcpy(l->entry.volume_id, l->folder_entry.volume_id, sizeof l->entry.volume_id);
    l->entry.volume_serial = l->folder_entry.volume_serial;
    entry_finish(&l->entry);

    *path = l->path;
    *name_offset = l->folder_len;
    if (!entry) return 0;
    if (!l->entry.is_symlink) {
        *entry = &l->entry;
        return 0;
    }
    // A link is described by its target, under the link's own path.
    if (file_query_entry_by_path(l->path, &l->target_entry) == 0) {
        l->target_entry.is_symlink = 1;
        l->target_entry.is_link_target = 1;
        *entry = &l->target_entry;
    } else {
        l->entry.is_broken_link = 1;
        *entry = &l->entry;
    }
    return 0;
}
