#include "base/filekind.h"

#include "base/fileinfo.h"
#include "base/fileopen.h"

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

} // namespace

ErrorCode file_check_regular(FileHandle h) {
    NtFileFsDeviceInformation device{};
    ErrorCode e =
        file_query_volume_information(h, FileFsDeviceInformation, &device, sizeof device, nullptr);
    if (e != 0) return e;
    if (!holds_files(device.DeviceType)) return ERR_BAD_FILE_TYPE;
    // A volume of no size is a pseudo file system; a raw disk has no
    // volume to measure at all.
    NtFileFsSizeInformation size{};
    if (file_query_volume_information(h, FileFsSizeInformation, &size, sizeof size, nullptr) != 0 ||
        size.TotalAllocationUnits <= 0)
        return ERR_BAD_FILE_TYPE;
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
