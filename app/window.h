// One window of a file converted in memory. A window starts and ends where a
// line end or a byte-order mark may start (a token boundary), so that its
// text converts the same whether it is taken alone or as part of the whole.
#pragma once

#include "app/convert.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Bytes that need a decision: LF, CR and the first byte of a byte-order mark.
inline bool is_special(unsigned char c) {
    return c == 0x0A || c == 0x0D || c == 0xEF;
}

// The first special byte in [p, e), or e.
inline const unsigned char* find_special(const unsigned char* p, const unsigned char* e) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8(0x0A);
    const __m128i cr = _mm_set1_epi8(0x0D);
    const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
    while (e - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                                 _mm_cmpeq_epi8(v, ef));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
        if (mask) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    while (p < e && !is_special(*p)) ++p;
    return p;
}

// Counting needs to stop only at CR and at the first byte of a byte-order
// mark; line feeds on the way are tallied in bulk. Returns the first CR or
// 0xEF in [p, e), or e, and adds the line feeds before it to *lf.
inline const unsigned char* count_to_cr_or_ef(const unsigned char* p, const unsigned char* e,
                                              uint64_t* lf) {
    uint64_t found = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8(0x0A);
    const __m128i cr = _mm_set1_epi8(0x0D);
    const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
    const __m128i zero = _mm_setzero_si128();
    while (e - p >= 16) {
        // Byte-wise line-feed tallies, folded into 64-bit sums before they can wrap.
        __m128i tally = zero;
        int rounds = 0;
        unsigned stop = 0;
        __m128i v = zero;
        while (e - p >= 16 && rounds < 255) {
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            stop = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, ef))));
            if (stop) break;
            tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(v, nl));
            p += 16;
            ++rounds;
        }
        __m128i sums = _mm_sad_epu8(tally, zero);
        found += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
        if (stop) {
            unsigned before = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))) &
                              ((stop & (0u - stop)) - 1);
            for (; before; before &= before - 1) ++found;
            *lf += found;
            return p + __builtin_ctz(stop);
        }
    }
#endif
    for (; p < e && *p != 0x0D && *p != 0xEF; ++p) found += *p == 0x0A;
    *lf += found;
    return p;
}

// Whether a token starts at b[i] of the n bytes in b (b[0] itself being a
// token start). Looks at up to two bytes before i and one after it.
bool window_is_boundary(const unsigned char* b, uint64_t n, uint64_t i);

// The last token boundary at or before `at` (at <= n, at >= 3): a window
// that ends there holds no token cut in two.
uint64_t window_boundary_before(const unsigned char* b, uint64_t n, uint64_t at);
// The first token boundary at or after `at` (at + 3 <= n).
uint64_t window_boundary_after(const unsigned char* b, uint64_t n, uint64_t at);

// Converts n bytes (a whole number of tokens) into out, which has room for
// 2 * n + 16 bytes; adds what it found to *counts. Returns the bytes written.
uint64_t window_convert(const unsigned char* in, uint64_t n, unsigned char* out, bool windows,
                        PassCounts* counts);

// Whether converting the n bytes would change any of them.
bool window_changes(const PassCounts& before, const PassCounts& after, bool windows);
