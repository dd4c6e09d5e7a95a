// Case-insensitive comparison by Unicode 5.0 simple case folding.
#pragma once

#include <cstdint>

uint32_t case_fold(uint32_t cp);
// Decodes the code point at pos like utf8_next and folds it: 0 at the end,
// 0xFFFFFFFF (unfolded) for a malformed sequence.
uint32_t utf8_next_folded(const char* text, uint64_t length, uint64_t pos, uint64_t* next);
// -1, 0 or 1; a null string is empty, a length of all ones reads to the NUL.
// A malformed byte sorts after every code point.
int compare_folded(const char* a, uint64_t alen, const char* b, uint64_t blen);
int compare_exact(const char* a, uint64_t alen, const char* b, uint64_t blen);
int compare_folded(const char* a, const char* b);
int compare_exact(const char* a, const char* b);

// The generated tables (base/fold_tables.cpp).
// fold_delta_table[c] for c below U+0800: c folds to c + v - 32, or v is 255
// and c is looked up in fold_pairs_16.
constexpr uint32_t FOLD_DELTA_SIZE = 0x800;
constexpr uint8_t FOLD_DELTA_BIAS = 32;
constexpr uint8_t FOLD_DELTA_TO_PAIRS = 255;
// Sorted (code point, folded) pairs, followed by sentinels keyed with the
// largest value of their width so that the fixed-step search never runs off.
constexpr uint32_t FOLD_PAIRS16_COUNT = 451;
constexpr uint32_t FOLD_PAIRS16_SENTINELS = 30;
constexpr uint32_t FOLD_PAIRS32_COUNT = 40;
constexpr uint32_t FOLD_PAIRS32_SENTINELS = 9;
extern const uint8_t fold_delta_table[FOLD_DELTA_SIZE];
extern const uint16_t fold_pairs_16[FOLD_PAIRS16_COUNT + FOLD_PAIRS16_SENTINELS][2];
extern const uint32_t fold_pairs_32[FOLD_PAIRS32_COUNT + FOLD_PAIRS32_SENTINELS][2];
