// The printf-style formatter. See format.cpp for the conversions.
#pragma once

#include "base/alloc.h"

#include <cstdarg>
#include <cstdint>

// Formats into buf (bytes only below capacity, always NUL-terminated when
// capacity > 0) and returns the full length the output needs.
uint64_t format_engine(char* buf, uint64_t capacity, const char* format, va_list args);
uint64_t format_to_buffer(char* buf, uint64_t capacity, const char* format, ...);
// Formats into memory from the allocator; null when it fails.
char* format_alloc(Allocator* a, const char* format, va_list args);
char* format_new(Allocator* a, const char* format, ...);
