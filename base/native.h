// The native layer under file open and file information: UTF-8 paths made into
// native object names, NtCreateFile and NtClose, and the information calls on
// an open handle (query, set, position, end). Both fileopen and fileinfo build
// on it; it imports neither.
#pragma once

#include "base/alloc.h"
#include "base/types.h"
#include "platform/nt.h"

// A counted UTF-16 object name, laid out like the system's UNICODE_STRING.
using NativeName = NtUnicodeString;

// Set by the first open of the process, which switches system error boxes off.
extern int error_mode_latch;

inline HANDLE to_native(FileHandle h) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(h));
}
inline FileHandle from_native(HANDLE h) {
    return static_cast<FileHandle>(reinterpret_cast<uintptr_t>(h));
}

ErrorCode native_path_from_path(ArenaAllocator* arena, const char* path, NativeName* name);
// The second half of native_path_from_path: classifies a full path (as
// path_full delivers it) and builds its native name.
ErrorCode native_path_from_full(ArenaAllocator* arena, const char* full, NativeName* name);
ErrorCode native_create(NativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                        uint32_t disposition, uint32_t options, FileHandle* handle,
                        uint64_t* action);
// The same with a security descriptor for an object it creates (null: the folder's).
ErrorCode native_create_secure(NativeName* name, uint32_t access, uint32_t share,
                               uint32_t attributes, uint32_t disposition, uint32_t options,
                               void* security, FileHandle* handle, uint64_t* action);
ErrorCode file_open_native(const char* path, uint32_t access, uint32_t share, uint32_t attributes,
                           uint32_t disposition, uint32_t options, FileHandle* handle,
                           uint64_t* action);
void file_close(FileHandle h);

ErrorCode file_query_information(FileHandle h, uint32_t info_class, void* buf, uint32_t length,
                                 uint64_t* returned);
ErrorCode file_query_volume_information(FileHandle h, uint32_t info_class, void* buf,
                                        uint32_t length, uint64_t* returned);
ErrorCode file_query_object_name(FileHandle h, uint32_t info_class, void* buf, uint32_t length,
                                 uint32_t* returned);
ErrorCode file_set_information(FileHandle h, uint32_t info_class, void* buf, uint32_t length);
ErrorCode file_set_position(FileHandle h, uint64_t offset);
ErrorCode file_set_end(FileHandle h, uint64_t size);
