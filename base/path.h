// Paths in Windows form: joining, roots, normalising, making them full, and
// the cached current directory and user name.
#pragma once

#include "base/alloc.h"
#include "base/types.h"

char* path_join(Allocator* a, const char* first, const char* second);
ErrorCode path_root(const char* path, uint64_t* root_length, bool* rooted);
uint64_t path_normalize_into(const char* path, uint64_t root_length, bool rooted, char* buf,
                             uint64_t size);
char* path_normalize(Allocator* a, const char* path);
char* path_full(Allocator* a, const char* path);
// path_full with the reason of a failure: 123 for a name with no sound root,
// 14 when memory ran out, 3 when the path needs a current folder that is
// gone.
char* path_full_checked(Allocator* a, const char* path, ErrorCode* error);
char* current_directory(Allocator* a);
char* drive_directory(Allocator* a, char drive);
const char16_t* cached_current_directory();
const char16_t* cached_user_name();
