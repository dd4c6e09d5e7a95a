#include "base/fold.h"

#include "base/utf.h"

namespace {

// Fixed-step binary search: every probe index (b | s) - 1 stays inside the
// stored entries because the sentinels behind the real pairs are never below
// a key, so the loop needs no bounds test and unrolls to straight code.
template <typename T, uint32_t Top> uint32_t search_pairs(const T (*pairs)[2], uint32_t c) {
    uint32_t b = 0;
    for (uint32_t s = Top; s != 0; s >>= 1) {
        const T* e = pairs[(b | s) - 1];
        if (e[0] == c) return e[1];
        if (e[0] < c) b |= s;
    }
    return c;
}

uint32_t fold_or_invalid(uint32_t cp) {
    return cp == CP_INVALID ? cp : case_fold(cp);
}

template <uint32_t (*Next)(const char*, uint64_t, uint64_t, uint64_t*)>
int compare_with(const char* a, uint64_t alen, const char* b, uint64_t blen) {
    // utf8_next already treats a null text as empty; a NUL ends a text either way,
    // so an all-ones length simply never stops the decoder early.
    uint64_t pa = 0, pb = 0;
    for (;;) {
        uint32_t ca = Next(a, alen, pa, &pa);
        uint32_t cb = Next(b, blen, pb, &pb);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

} // namespace

uint32_t case_fold(uint32_t c) {
    if (c < FOLD_DELTA_SIZE) {
        uint32_t v = fold_delta_table[c];
        if (v != FOLD_DELTA_TO_PAIRS) return c + v - FOLD_DELTA_BIAS;
        return search_pairs<uint16_t, 256>(fold_pairs_16, c);
    }
    if (c <= 0xFFFF) return search_pairs<uint16_t, 256>(fold_pairs_16, c);
    return search_pairs<uint32_t, 32>(fold_pairs_32, c);
}

uint32_t utf8_next_folded(const char* text, uint64_t length, uint64_t pos, uint64_t* next) {
    return fold_or_invalid(utf8_next(text, length, pos, next));
}

int compare_folded(const char* a, uint64_t alen, const char* b, uint64_t blen) {
    return compare_with<utf8_next_folded>(a, alen, b, blen);
}

int compare_exact(const char* a, uint64_t alen, const char* b, uint64_t blen) {
    return compare_with<utf8_next>(a, alen, b, blen);
}

int compare_folded(const char* a, const char* b) {
    return compare_folded(a, TEXT_NUL, b, TEXT_NUL);
}

int compare_exact(const char* a, const char* b) {
    return compare_exact(a, TEXT_NUL, b, TEXT_NUL);
}
