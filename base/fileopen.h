// Opening files and folders by UTF-8 path through native names, and closing.
#pragma once

#include "base/alloc.h"
#include "base/types.h"
#include "platform/nt.h"

enum : uint32_t {
    FOPEN_QUERY = 0x0001,
    FOPEN_READ = 0x0002,
    FOPEN_SET_INFO = 0x0004,
    FOPEN_WRITE = 0x0008,
    FOPEN_DENY_WRITE = 0x0020,
    FOPEN_SHARE_WRITE = 0x0040,
    FOPEN_CREATE = 0x0080,
    FOPEN_TRUNCATE = 0x0100,
    FOPEN_UNBUFFERED = 0x0200,
    FOPEN_ASYNC = 0x0400,
    FOPEN_EXECUTE = 0x0800,
    FOPEN_NO_FOLLOW = 0x1000,
    FOPEN_APPEND = 0x2000,
};

// A counted UTF-16 object name, laid out like the system's UNICODE_STRING.
using NativeName = NtUnicodeString;

// Set by the first open of the process, which switches system error boxes off.
extern int error_mode_latch;

ErrorCode file_open(FileHandle* handle, const char* path, uint32_t flags);
ErrorCode file_open_native(const char* path, uint32_t access, uint32_t share, uint32_t attributes,
                           uint32_t disposition, uint32_t options, FileHandle* handle,
                           uint64_t* action);
ErrorCode native_path_from_path(ArenaAllocator* arena, const char* path, NativeName* name);
// The second half of native_path_from_path: classifies a full path (as
// path_full delivers it) and builds its native name.
ErrorCode native_path_from_full(ArenaAllocator* arena, const char* full, NativeName* name);
ErrorCode native_create(NativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                        uint32_t disposition, uint32_t options, FileHandle* handle,
                        uint64_t* action);
void file_close(FileHandle h);

inline HANDLE to_native(FileHandle h) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}
inline FileHandle from_native(HANDLE h) {
    return static_cast<FileHandle>(reinterpret_cast<uintptr_t>(h));
}
