#include "app/eol.h"

#include "app/reader.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

constexpr uint64_t kNone = ~0ull;

// Changes in CR LF text: everything but CR LF itself.
bool changes_windows_text(EolToken t) {
    return t != EOL_CRLF && t != EOL_PLAIN;
}

// Judges the bytes that came into the reader's buffer since the last call:
// true once the file is certain to be binary.
bool judge_fresh(LookAheadReader* r, BinaryScan* scan) {
    if (scan->bytes == r->total_read) return false;
    uint64_t fresh = r->total_read - scan->bytes;
    binary_scan(scan, r->buffer + r->filled - fresh, fresh);
    return binary_certain(*scan, r->limit);
}

} // namespace

bool eol_count(LookAheadReader* r, PassCounts* n, uint64_t* first_windows_change,
               BinaryScan* scan) {
    *first_windows_change = kNone;
    for (;;) {
        // Every byte is judged while it is still in the buffer: those the
        // last token's look-ahead brought in, then those of a refill.
        if (scan && judge_fresh(r, scan)) return true;
        bool done = r->position >= r->filled && reader_refill(r);
        if (scan && judge_fresh(r, scan)) return true;
        if (done) return scan && binary_certain(*scan, scan->bytes);
        const unsigned char* base = r->buffer;
        const unsigned char* p = base + r->position;
        const unsigned char* e = base + r->filled;
        uint64_t lf_before = n->lf;
        const unsigned char* s = eol_count_lf(p, e, &n->lf);
        // The line feeds tallied in bulk are all without a CR before them.
        if (*first_windows_change == kNone && n->lf != lf_before) {
            const void* at = memchr(p, 0x0A, static_cast<size_t>(s - p));
            *first_windows_change =
                r->total_read - r->filled +
                static_cast<uint64_t>(static_cast<const unsigned char*>(at) - base);
        }
        if (s == e) {
            r->position = r->filled;
            continue;
        }
        uint64_t offset = r->total_read - r->filled + static_cast<uint64_t>(s - base);
        r->position = static_cast<uint64_t>(s - base) + 1;
        // The look-ahead may refill the buffer: the token's first byte is taken first.
        EolToken t = eol_token(*s, [r](unsigned k) { return reader_peek(r, k); });
        reader_skip(r, eol_token_length(t) - 1);
        eol_tally(n, t);
        if (changes_windows_text(t) && *first_windows_change == kNone)
            *first_windows_change = offset;
    }
}

uint64_t eol_convert(const unsigned char* in, uint64_t n, unsigned char* out, bool windows,
                     uint8_t marks, PassCounts* counts) {
    const unsigned char* p = in;
    const unsigned char* e = in + n;
    unsigned char* o = out;
    while (p < e) {
        const unsigned char* s = eol_skip<false, true>(p, e, nullptr, &o);
        if (s == e) break;
        EolToken t = eol_token_at(in, n, static_cast<uint64_t>(s - in));
        p = s + eol_token_length(t);
        if (t == EOL_BOM && (marks == MARKS_KEPT || (marks == MARK_AT_START_KEPT && s == in))) {
            memcpy(o, s, 3);
            o += 3;
            continue;
        }
        eol_tally(counts, t);
        if (t == EOL_BOM) continue;
        if (t == EOL_PLAIN) {
            *o++ = *s; // an 0xEF that begins no mark
            continue;
        }
        if (windows) *o++ = 0x0D;
        *o++ = 0x0A;
    }
    return static_cast<uint64_t>(o - out);
}

bool eol_is_boundary(const unsigned char* b, uint64_t n, uint64_t i) {
    if (i == 0 || i >= n) return true;
    // Every token is at most three bytes long, so only a token that begins
    // one or two bytes earlier can hold b[i]; a byte inside a token never
    // begins one of two bytes or more.
    if (eol_token_length(eol_token_at(b, n, i - 1)) >= 2) return false;
    return i < 2 || eol_token_length(eol_token_at(b, n, i - 2)) < 3;
}

uint64_t eol_boundary_before(const unsigned char* b, uint64_t n, uint64_t at) {
    while (!eol_is_boundary(b, n, at)) --at;
    return at;
}

uint64_t eol_boundary_after(const unsigned char* b, uint64_t n, uint64_t at) {
    while (!eol_is_boundary(b, n, at)) ++at;
    return at;
}

uint64_t eol_changed_token(const unsigned char* in, uint64_t n, uint64_t d, bool windows) {
    uint64_t at = eol_boundary_before(in, n, d);
    if (windows && at == d && at > 0 && eol_token_at(in, n, at - 1) == EOL_LONE_CR) --at;
    return at;
}

bool eol_changes(const PassCounts& before, const PassCounts& after, bool windows) {
    if (after.bom != before.bom || after.crcrlf != before.crcrlf || after.lone_cr != before.lone_cr)
        return true;
    return windows ? after.lf != before.lf : after.crlf != before.crlf;
}

namespace {

// Control bytes that text does not hold: 0x00-0x07, 0x0E-0x19, 0x1C-0x1F, 0x7F.
constexpr bool is_binary_control(unsigned char c) {
    return (c < 0x20 && !(c >= 0x08 && c <= 0x0D) && c != 0x1A && c != 0x1B) || c == 0x7F;
}

// The vector scans: control bytes and NULs in whole vectors from *p on, *p
// moved past them. Byte-wise tallies are folded into 64-bit sums before they
// can wrap; unsigned v <= k is min(v, k) == v.
#if defined(__SSE2__)
void scan_sse2(const unsigned char** at, const unsigned char* e, uint64_t* controls, bool* nul) {
    const unsigned char* p = *at;
    const __m128i zero = _mm_setzero_si128();
    const __m128i c1f = _mm_set1_epi8(0x1F), c08 = _mm_set1_epi8(0x08);
    const __m128i c05 = _mm_set1_epi8(0x05), c1a = _mm_set1_epi8(0x1A);
    const __m128i c01 = _mm_set1_epi8(0x01), c7f = _mm_set1_epi8(0x7F);
    while (e - p >= 16) {
        __m128i tally = zero, nuls = zero;
        for (int rounds = 0; e - p >= 16 && rounds < 255; ++rounds, p += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            __m128i low = _mm_cmpeq_epi8(_mm_min_epu8(v, c1f), v);
            __m128i a = _mm_sub_epi8(v, c08);
            __m128i b = _mm_sub_epi8(v, c1a);
            __m128i allowed = _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(a, c05), a),
                                           _mm_cmpeq_epi8(_mm_min_epu8(b, c01), b));
            __m128i hit = _mm_or_si128(_mm_andnot_si128(allowed, low), _mm_cmpeq_epi8(v, c7f));
            tally = _mm_sub_epi8(tally, hit);
            nuls = _mm_or_si128(nuls, _mm_cmpeq_epi8(v, zero));
        }
        __m128i sums = _mm_sad_epu8(tally, zero);
        *controls += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
                     static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
        *nul = *nul || _mm_movemask_epi8(nuls) != 0;
    }
    *at = p;
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#define EOL_HAVE_AVX2 1
// The same over 32 bytes at a time, where the processor has AVX2.
__attribute__((target("avx2"))) void scan_avx2(const unsigned char** at, const unsigned char* e,
                                               uint64_t* controls, bool* nul) {
    const unsigned char* p = *at;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i c1f = _mm256_set1_epi8(0x1F), c08 = _mm256_set1_epi8(0x08);
    const __m256i c05 = _mm256_set1_epi8(0x05), c1a = _mm256_set1_epi8(0x1A);
    const __m256i c01 = _mm256_set1_epi8(0x01), c7f = _mm256_set1_epi8(0x7F);
    while (e - p >= 32) {
        __m256i tally = zero, nuls = zero;
        for (int rounds = 0; e - p >= 32 && rounds < 255; ++rounds, p += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
            __m256i low = _mm256_cmpeq_epi8(_mm256_min_epu8(v, c1f), v);
            __m256i a = _mm256_sub_epi8(v, c08);
            __m256i b = _mm256_sub_epi8(v, c1a);
            __m256i allowed = _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_min_epu8(a, c05), a),
                                              _mm256_cmpeq_epi8(_mm256_min_epu8(b, c01), b));
            __m256i hit =
                _mm256_or_si256(_mm256_andnot_si256(allowed, low), _mm256_cmpeq_epi8(v, c7f));
            tally = _mm256_sub_epi8(tally, hit);
            nuls = _mm256_or_si256(nuls, _mm256_cmpeq_epi8(v, zero));
        }
        __m256i sums = _mm256_sad_epu8(tally, zero);
        *controls += static_cast<uint64_t>(_mm256_extract_epi64(sums, 0)) +
                     static_cast<uint64_t>(_mm256_extract_epi64(sums, 1)) +
                     static_cast<uint64_t>(_mm256_extract_epi64(sums, 2)) +
                     static_cast<uint64_t>(_mm256_extract_epi64(sums, 3));
        *nul = *nul || _mm256_movemask_epi8(nuls) != 0;
    }
    *at = p;
}

#ifdef EOLSET_TEST_HOOKS
bool g_avx2_off;
#else
constexpr bool g_avx2_off = false;
#endif

bool have_avx2() {
    static const bool yes = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes && !g_avx2_off;
}
#endif

} // namespace

void binary_scan(BinaryScan* s, const unsigned char* p, uint64_t n) {
    for (uint64_t i = 0; s->bytes + i < 2 && i < n; ++i) s->first[s->bytes + i] = p[i];
    s->bytes += n;
    const unsigned char* e = p + n;
    uint64_t controls = 0;
    bool nul = false;
#ifdef EOL_HAVE_AVX2
    if (have_avx2()) scan_avx2(&p, e, &controls, &nul);
#endif
#if defined(__SSE2__)
    scan_sse2(&p, e, &controls, &nul);
#endif
    for (; p < e; ++p) {
        controls += is_binary_control(*p);
        nul = nul || *p == 0;
    }
    s->controls += controls;
    s->nul = s->nul || nul;
}

bool binary_certain(const BinaryScan& s, uint64_t length) {
    if (s.nul) return true;
    if (s.bytes >= 2 &&
        ((s.first[0] == 0xFF && s.first[1] == 0xFE) || (s.first[0] == 0xFE && s.first[1] == 0xFF)))
        return true;
    return s.controls > length / 128; // more than one byte in 128
}

#ifdef EOLSET_TEST_HOOKS
void eol_allow_avx2(bool allow) {
#ifdef EOL_HAVE_AVX2
    g_avx2_off = !allow;
#else
    (void)allow;
#endif
}
#endif
