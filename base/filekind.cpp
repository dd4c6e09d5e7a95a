#include "base/filekind.h"

#include "base/fileinfo.h"
#include "base/fileopen.h"

#include <cstring>

namespace {

// Devices that carry a file system, or stand for the volume of one.
bool holds_files(ULONG type) {
    switch (type) {
    case EOL_DEVICE_CD_ROM:
    case EOL_DEVICE_CD_ROM_FILE_SYSTEM:
    case EOL_DEVICE_DFS:
    case EOL_DEVICE_DISK:
    case EOL_DEVICE_DISK_FILE_SYSTEM:
    case EOL_DEVICE_NETWORK_FILE_SYSTEM:
    case EOL_DEVICE_VIRTUAL_DISK:
        return true;
    }
    return false;
}

// The volume of a handle holds storage: not a pseudo file system, nor a raw disk.
bool volume_has_storage(FileHandle h) {
    NtFileFsSizeInformation size{};
    return file_query_volume_information(h, FileFsSizeInformation, &size, sizeof size, nullptr) ==
               0 &&
           size.TotalAllocationUnits > 0;
}

// Volumes found to hold storage, by the walk's volume id; a few suffice,
// since a walk seldom crosses more.
// A spin lock guards them: it is held for a few compares.
struct KnownVolumes {
    uint8_t busy;
    uint32_t ids[8][3];
    uint32_t count;
};
KnownVolumes g_volumes;

void lock_volumes() {
    while (__atomic_exchange_n(&g_volumes.busy, 1, __ATOMIC_ACQUIRE)) {
    }
}
void unlock_volumes() {
    __atomic_store_n(&g_volumes.busy, 0, __ATOMIC_RELEASE);
}

bool volume_known(const uint32_t id[3]) {
    lock_volumes();
    bool found = false;
    for (uint32_t i = 0; i < g_volumes.count && !found; ++i)
        found = memcmp(g_volumes.ids[i], id, sizeof g_volumes.ids[i]) == 0;
    unlock_volumes();
    return found;
}

void remember_volume(const uint32_t id[3]) {
    lock_volumes();
    if (g_volumes.count < 8) memcpy(g_volumes.ids[g_volumes.count++], id, sizeof g_volumes.ids[0]);
    unlock_volumes();
}

// The check of file_check_regular, with the facts of the file known.
ErrorCode check_known(FileHandle h, const OpenFileFacts& facts, const FileEntry* entry) {
    NtFileFsDeviceInformation device{};
    ErrorCode e =
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr);
    if (e != 0) return e;
    if (!holds_files(device.DeviceType)) return ERR_BAD_FILE_TYPE;
    if (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) return ERR_BAD_FILE_TYPE;
    const uint32_t* id = entry->volume_id;
    bool named = (id[0] | id[1] | id[2]) != 0;
    if (named && volume_known(id)) return 0;
    if (!volume_has_storage(h)) return ERR_BAD_FILE_TYPE;
    if (named) remember_volume(id);
    return 0;
}

} // namespace

ErrorCode keep_listed_regular_file(FileHandle* h, ErrorCode e, const FileEntry* entry,
                                   OpenFileFacts* facts, bool* known) {
    *known = false;
    *facts = OpenFileFacts{};
    if (!handle_is_valid(*h)) return e;
    ErrorCode kind;
    if (file_query_facts(*h, facts) == 0) {
        *known = true;
        kind = check_known(*h, *facts, entry);
    } else {
        *facts = OpenFileFacts{};
        kind = file_check_regular(*h);
    }
    if (kind == 0) return e;
    *known = false;
    file_close(*h);
    *h = INVALID_FILE_HANDLE;
    return e != 0 ? e : kind;
}

void filekind_forget_volumes() {
    lock_volumes();
    g_volumes.count = 0;
    unlock_volumes();
}

ErrorCode file_check_regular(FileHandle h) {
    NtFileFsDeviceInformation device{};
    ErrorCode e =
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr);
    if (e != 0) return e;
    if (!holds_files(device.DeviceType)) return ERR_BAD_FILE_TYPE;
    // A volume of no size is a pseudo file system; a raw disk has no
    // volume to measure at all.
    if (!volume_has_storage(h)) return ERR_BAD_FILE_TYPE;
    // A volume or disk opened whole has no standard information of a file.
    NtFileStandardInformation standard{};
    if (file_query_information(h, FileStandardInformation, &standard, sizeof standard, nullptr) !=
            0 ||
        standard.Directory)
        return ERR_BAD_FILE_TYPE;
    return 0;
}

ErrorCode keep_regular_file(FileHandle* h, ErrorCode e) {
    if (!handle_is_valid(*h)) return e;
    ErrorCode kind = file_check_regular(*h);
    if (kind == 0) return e;
    file_close(*h);
    *h = INVALID_FILE_HANDLE;
    return e != 0 ? e : kind;
}

bool single_file_entry(const char* path, FileEntry* entry) {
    *entry = FileEntry{};
    FileHandle h;
    ErrorCode e =
        file_open_native(path, SYNCHRONIZE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_READ_EA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0, FILE_OPEN,
                         FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &h, nullptr);
    if (e == 0 && file_query_entry(h, entry) != 0) *entry = FileEntry{};
    file_close(h);
    return e == 0 && !entry->is_directory;
}

bool path_is_link_to_nothing(const char* path) {
    constexpr uint32_t kAccess = SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    constexpr uint32_t kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    FileHandle h;
    ErrorCode e =
        file_open_native(path, kAccess, kShare, 0, FILE_OPEN,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, &h, nullptr);
    if (e != 0) return false;
    NtFileAttributeTagInformation tag{};
    bool link =
        file_query_information(h, FileAttributeTagInformation, &tag, sizeof tag, nullptr) == 0 &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    file_close(h);
    if (!link) return false;
    e = file_open_native(path, kAccess, kShare, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &h,
                         nullptr);
    file_close(h);
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

bool file_is_entry(FileHandle h, const FileEntry* entry) {
    if (entry->file_id[0] == 0 && entry->file_id[1] == 0) return true;
    if (entry->file_id[1] != 0) {
        NtFileIdInformation id{};
        if (file_query_information(h, FileIdInformation, &id, sizeof id, nullptr) == 0)
            return memcmp(id.FileId, entry->file_id, sizeof id.FileId) == 0;
    }
    int64_t index = 0;
    if (file_query_information(h, FileInternalInformation, &index, sizeof index, nullptr) != 0)
        return true;
    return static_cast<uint64_t>(index) == entry->file_id[0];
}
