// Types shared across the library: error codes, handles and the file record.
#pragma once

#include <cstdint>

// A Windows system error code; 0 is success.
using ErrorCode = int32_t;

// A native handle value; 0 and all-ones are invalid.
using FileHandle = uint64_t;
constexpr FileHandle INVALID_FILE_HANDLE = ~0ull;
inline bool handle_is_valid(FileHandle h) {
    return h != 0 && h != INVALID_FILE_HANDLE;
}

// Error codes that recur across modules.
constexpr ErrorCode ERR_PATH_NOT_FOUND = 3;
constexpr ErrorCode ERR_ACCESS_DENIED = 5;
constexpr ErrorCode ERR_INVALID_HANDLE = 6;
constexpr ErrorCode ERR_OUT_OF_MEMORY = 14;
constexpr ErrorCode ERR_NO_MORE_FILES = 18;
constexpr ErrorCode ERR_HANDLE_EOF = 38;
constexpr ErrorCode ERR_BROKEN_PIPE = 109;
constexpr ErrorCode ERR_DISK_FULL = 112;
constexpr ErrorCode ERR_INVALID_NAME = 123;
constexpr ErrorCode ERR_BAD_FILE_TYPE = 222;
constexpr ErrorCode ERR_MORE_DATA = 234;
constexpr ErrorCode ERR_CANCELLED = 1223;
constexpr ErrorCode ERR_FOLDER_LOOP = 1921;

// Everything the program knows about one file or folder. Plain value: copy it whole.
struct FileEntry {
    uint8_t flags; // 0x01 read-only, 0x02 hidden, 0x04 system, 0x20 archive, 0x08 see entry_finish
    uint8_t is_symlink;
    uint8_t is_directory;
    uint8_t is_broken_link;
    uint8_t is_link_target;
    uint8_t is_mount_point;
    uint32_t attributes;   // Windows file attributes
    uint32_t volume_id[3]; // hash of the volume's serial and device prefix
    uint64_t volume_serial;
    uint64_t file_id[2]; // low half first
    uint64_t size;
    int64_t create_time; // 100-ns units since 1601-01-01 UTC
    int64_t access_time;
    int64_t write_time;
    int64_t change_time;
};
static_assert(sizeof(FileEntry) == 88);
