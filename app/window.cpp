#include "app/window.h"

#include <cstring>

bool window_is_boundary(const unsigned char* b, uint64_t n, uint64_t i) {
    if (i == 0 || i >= n) return true;
    unsigned char c = b[i];
    unsigned char prev = b[i - 1];
    // The LF of a CR LF, or of the CR CR LF whose second CR stands before it.
    if (c == 0x0A && prev == 0x0D) return false;
    // The second CR of a CR CR LF.
    if (c == 0x0D && prev == 0x0D && i + 1 < n && b[i + 1] == 0x0A) return false;
    // Inside a byte-order mark.
    if (c == 0xBB && prev == 0xEF && i + 1 < n && b[i + 1] == 0xBF) return false;
    if (c == 0xBF && prev == 0xBB && i >= 2 && b[i - 2] == 0xEF) return false;
    return true;
}

uint64_t window_boundary_before(const unsigned char* b, uint64_t n, uint64_t at) {
    // Every token is at most three bytes long.
    while (!window_is_boundary(b, n, at)) --at;
    return at;
}

uint64_t window_boundary_after(const unsigned char* b, uint64_t n, uint64_t at) {
    while (!window_is_boundary(b, n, at)) ++at;
    return at;
}

uint64_t window_convert(const unsigned char* in, uint64_t n, unsigned char* out, bool windows,
                        PassCounts* counts) {
    const unsigned char* p = in;
    const unsigned char* e = in + n;
    unsigned char* o = out;
    while (p < e) {
#if defined(__SSE2__)
        // Sixteen bytes at a time, stored whole: the bytes past the first
        // special one are written again by what follows (out has the room).
        const __m128i lf = _mm_set1_epi8(0x0A);
        const __m128i cr = _mm_set1_epi8(0x0D);
        const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
        unsigned mask = 0;
        while (e - p >= 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
            mask = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                             _mm_cmpeq_epi8(v, ef))));
            if (mask) break;
            p += 16;
            o += 16;
        }
        const unsigned char* s;
        if (mask) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
            s = p + k;
            o += k;
        } else {
            s = find_special(p, e);
            memcpy(o, p, static_cast<size_t>(s - p));
            o += s - p;
        }
#else
        const unsigned char* s = find_special(p, e);
        memcpy(o, p, static_cast<size_t>(s - p));
        o += s - p;
#endif
        if (s == e) break;
        p = s + 1;
        unsigned char c = *s;
        if (c == 0xEF) {
            if (e - p >= 2 && p[0] == 0xBB && p[1] == 0xBF) {
                p += 2;
                ++counts->bom;
            } else {
                *o++ = 0xEF;
            }
            continue;
        }
        if (c == 0x0A) {
            ++counts->lf;
        } else if (p < e && *p == 0x0A) {
            ++p;
            ++counts->crlf;
        } else if (e - p >= 2 && p[0] == 0x0D && p[1] == 0x0A) {
            p += 2;
            ++counts->crcrlf;
        } else {
            ++counts->lone_cr;
        }
        if (windows) *o++ = 0x0D;
        *o++ = 0x0A;
    }
    return static_cast<uint64_t>(o - out);
}

bool window_changes(const PassCounts& before, const PassCounts& after, bool windows) {
    if (after.bom != before.bom || after.crcrlf != before.crcrlf || after.lone_cr != before.lone_cr)
        return true;
    return windows ? after.lf != before.lf : after.crlf != before.crlf;
}
