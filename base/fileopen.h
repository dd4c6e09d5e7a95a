// Opening files and folders by UTF-8 path with the program's access flags.
#pragma once

#include "base/native.h"

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

ErrorCode file_open(FileHandle* handle, const char* path, uint32_t flags);
