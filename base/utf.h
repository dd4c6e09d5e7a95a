// UTF-8 and UTF-16 text: code-point decoders and encoders, conversions and
// the small string operations the rest of the program uses. A missing (null)
// text counts as empty everywhere.
#pragma once

#include "base/alloc.h"

#include <cstdint>

// Length value meaning "up to the NUL".
constexpr uint64_t TEXT_NUL = ~0ull;
// Returned by the decoders for a sequence they cannot decode.
constexpr uint32_t CP_INVALID = 0xFFFFFFFFu;

uint32_t utf8_next(const char* text, uint64_t length, uint64_t pos, uint64_t* next);
void utf8_put(char* buf, uint64_t capacity, uint64_t* pos, uint32_t cp);
uint32_t utf16_next(const char16_t* text, uint64_t length, uint64_t pos, uint64_t* next);
void utf16_put(char16_t* buf, uint64_t capacity, uint64_t* pos, uint32_t cp);

// Both return the full converted length (without the NUL) whatever the capacity;
// with no buffer they only measure.
uint64_t utf16_to_utf8(char* buf, uint64_t capacity, const char16_t* text, uint64_t length);
uint64_t utf8_to_utf16(char16_t* buf, uint64_t capacity, const char* text, uint64_t length);
char* utf16_to_utf8_alloc(Allocator* a, const char16_t* text, uint64_t length);

uint64_t str_len(const char* text);
uint64_t str_len_max(const char* text, uint64_t max);
void mem_move(void* dst, const void* src, uint64_t count);
void str_copy(char* buf, uint64_t capacity, const char* text, uint64_t length);
char* str_dup(Allocator* a, const char* text, uint64_t length);

uint64_t wstr_len(const char16_t* text);
uint64_t wstr_len_max(const char16_t* text, uint64_t max);
void wmem_move(char16_t* dst, const char16_t* src, uint64_t count);
char16_t* wstr_alloc(uint64_t count);
char16_t* wstr_dup_heap(const char16_t* text, uint64_t length);
char16_t* wstr_dup(Allocator* a, const char16_t* text, uint64_t length);
char16_t wstr_upper_next(const char16_t* text, uint64_t length, uint64_t pos, uint64_t* next);
int wstr_compare_nocase(const char16_t* a, uint64_t alen, const char16_t* b, uint64_t blen);
int wstr_has_prefix_nocase(const char16_t* text, uint64_t length, const char16_t* prefix,
                           uint64_t prefix_length);

// 14 (out of memory) for a missing path, 123 (invalid name) for an empty one, else 0.
int32_t path_arg_check(const char* path);
