// Case-insensitive comparison by Unicode 5.0 simple case folding.
#pragma once

#include <cstdint>

uint32_t case_fold(uint32_t cp);
uint32_t utf8_next_folded(const char* text, uint64_t length, uint64_t pos, uint64_t* next);
int compare_folded(const char* a, uint64_t alen, const char* b, uint64_t blen);
int compare_exact(const char* a, uint64_t alen, const char* b, uint64_t blen);
int compare_folded(const char* a, const char* b);
int compare_exact(const char* a, const char* b);
