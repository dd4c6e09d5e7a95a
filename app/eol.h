// Line ends and UTF-8 byte-order marks: the one place that knows what they
// are. A text is a sequence of tokens: LF, CR LF, CR CR LF (one line end, as
// an editor that doubled the CR of CR LF left it), a lone CR, a byte-order
// mark (EF BB BF), and every other byte on its own. The counting pass over a
// file, the conversion of a window and the test for a window's edge are the
// same scanner taken in different modes; the binary judgement sits beside it.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

struct LookAheadReader;

// What a pass over a text found. The counts are 64-bit: one file may hold
// more than 2^32 line ends.
struct PassCounts {
    uint64_t lf;
    uint64_t crlf;
    uint64_t crcrlf;
    uint64_t lone_cr;
    uint64_t bom;
};

enum EolToken : uint8_t { EOL_PLAIN, EOL_LF, EOL_CRLF, EOL_CRCRLF, EOL_LONE_CR, EOL_BOM };

// The token that begins with byte c. `next(k)` gives the k-th byte after c
// (k is 0 or 1), or 0 past the end of the text; it is asked only for bytes
// the decision needs, in order, so a reader that refills on demand reads
// exactly where a byte-by-byte loop would.
template <class Next> inline EolToken eol_token(unsigned char c, Next next) {
    if (c == 0x0A) return EOL_LF;
    if (c == 0x0D) {
        unsigned char a = next(0);
        if (a == 0x0A) return EOL_CRLF;
        if (a == 0x0D && next(1) == 0x0A) return EOL_CRCRLF;
        return EOL_LONE_CR;
    }
    if (c == 0xEF && next(0) == 0xBB && next(1) == 0xBF) return EOL_BOM;
    return EOL_PLAIN;
}

inline unsigned eol_token_length(EolToken t) {
    return t == EOL_CRLF ? 2 : (t == EOL_CRCRLF || t == EOL_BOM) ? 3 : 1;
}

// The token at b[i] of the n bytes in b.
inline EolToken eol_token_at(const unsigned char* b, uint64_t n, uint64_t i) {
    return eol_token(b[i], [=](unsigned k) { return i + 1 + k < n ? b[i + 1 + k] : 0; });
}

inline void eol_tally(PassCounts* n, EolToken t) {
    switch (t) {
    case EOL_LF:
        ++n->lf;
        break;
    case EOL_CRLF:
        ++n->crlf;
        break;
    case EOL_CRCRLF:
        ++n->crcrlf;
        break;
    case EOL_LONE_CR:
        ++n->lone_cr;
        break;
    case EOL_BOM:
        ++n->bom;
        break;
    case EOL_PLAIN:
        break;
    }
}

// The scan between tokens: the first byte in [p, e) that may begin a token
// other than a plain byte, or e. With kTallyLf a line feed does not stop the
// scan (LF is its own token and needs no look-ahead) and the line feeds
// passed over are added to *lf. With kCopy the bytes passed over are copied
// to *out, which moves on; out needs room for 16 bytes past what it gets,
// since the copy stores sixteen at a time and what follows writes over the
// rest.
template <bool kTallyLf, bool kCopy>
inline const unsigned char* eol_skip(const unsigned char* p, const unsigned char* e, uint64_t* lf,
                                     unsigned char** out) {
    unsigned char* o = nullptr;
    if constexpr (kCopy) o = *out;
    uint64_t found = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8(0x0A);
    const __m128i cr = _mm_set1_epi8(0x0D);
    const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
    const __m128i zero = _mm_setzero_si128();
    while (e - p >= 16) {
        // Byte-wise line-feed tallies, folded into 64-bit sums before they can wrap.
        __m128i tally = zero;
        __m128i v = zero;
        unsigned stop = 0;
        for (int rounds = 0; e - p >= 16 && rounds < 255; ++rounds) {
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            if constexpr (kCopy) _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
            __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, ef));
            if constexpr (!kTallyLf) hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, nl));
            stop = static_cast<unsigned>(_mm_movemask_epi8(hit));
            if (stop) break;
            if constexpr (kTallyLf) tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(v, nl));
            p += 16;
            if constexpr (kCopy) o += 16;
        }
        if constexpr (kTallyLf) {
            __m128i sums = _mm_sad_epu8(tally, zero);
            found += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
                     static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
        }
        if (stop) {
            unsigned k = static_cast<unsigned>(__builtin_ctz(stop));
            if constexpr (kTallyLf) {
                unsigned before = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))) &
                                  ((stop & (0u - stop)) - 1);
                *lf += found + static_cast<uint64_t>(__builtin_popcount(before));
            }
            if constexpr (kCopy) *out = o + k;
            return p + k;
        }
    }
#endif
    const unsigned char* s = p;
    for (; s < e; ++s) {
        unsigned char c = *s;
        if (c == 0x0D || c == 0xEF || (!kTallyLf && c == 0x0A)) break;
        if constexpr (kTallyLf) found += c == 0x0A;
    }
    if constexpr (kCopy) {
        memcpy(o, p, static_cast<size_t>(s - p));
        *out = o + (s - p);
    }
    if constexpr (kTallyLf) *lf += found;
    return s;
}

// Counting mode over a window: the line feeds in [p, e) up to the first CR
// or 0xEF, which is returned (or e). LF text with neither is passed over at
// memory speed.
inline const unsigned char* eol_count_lf(const unsigned char* p, const unsigned char* e,
                                         uint64_t* lf) {
    return eol_skip<true, false>(p, e, lf, nullptr);
}

struct BinaryScan;

// Counting mode over a whole file: every token from the reader's position
// to the end. *first_windows_change receives the offset of the first token
// that CR LF text would change (all-ones when none). With `scan` (empty,
// the reader at the file's first byte) the bytes are judged as they come in
// too: returns true when the file is binary (see BinaryScan), stopping as
// soon as that is certain, the reader's limit taken for the file's length.
bool eol_count(LookAheadReader* r, PassCounts* n, uint64_t* first_windows_change, BinaryScan* scan);

// What becomes of byte-order marks in conversion mode.
enum : uint8_t {
    MARKS_REMOVED = 0,
    MARKS_KEPT = 1,         // -b: every mark is copied as it stands
    MARK_AT_START_KEPT = 2, // a mark at in[0] is copied (the file's first bytes)
};
// Conversion mode: n bytes (a whole number of tokens) into out, which has
// room for 2 * n + 16 bytes; adds what it found to *counts. A mark that is
// kept (`marks`) is copied as it stands and not counted. Returns the bytes
// written.
uint64_t eol_convert(const unsigned char* in, uint64_t n, unsigned char* out, bool windows,
                     uint8_t marks, PassCounts* counts);

// Boundary mode: whether a token starts at b[i] of the n bytes in b (b[0]
// itself being a token start). Looks at up to two bytes before i and one
// after it.
bool eol_is_boundary(const unsigned char* b, uint64_t n, uint64_t i);
// The last token boundary at or before `at` (at <= n, at >= 3): a window
// that ends there holds no token cut in two.
uint64_t eol_boundary_before(const unsigned char* b, uint64_t n, uint64_t at);
// The first token boundary at or after `at` (at + 3 <= n).
uint64_t eol_boundary_after(const unsigned char* b, uint64_t n, uint64_t at);
// Where the change that begins at offset d of the new text of a window
// starts in its old text: the token that holds it. A lone CR that gains an
// LF is the same as far as it goes, so in CR LF text the change counts from
// the CR.
uint64_t eol_changed_token(const unsigned char* in, uint64_t n, uint64_t d, bool windows);

// What the counts say about a text and the form it is to take.
inline uint64_t eol_line_ends(const PassCounts& n) {
    return n.lf + n.crlf + n.crcrlf + n.lone_cr;
}
// The line ends that change and marks that go.
inline uint64_t eol_fixes(const PassCounts& n, bool windows) {
    return eol_line_ends(n) - (windows ? n.crlf : n.lf);
}
inline bool eol_needs_change(const PassCounts& n, bool windows) {
    return n.bom != 0 || eol_fixes(n, windows) != 0;
}
// The form a text keeps without -u or -w: the one in the majority, a tie to LF.
inline bool eol_majority_windows(const PassCounts& n) {
    return n.lf < n.crlf;
}
// Whether the tokens counted between `before` and `after` change in conversion.
bool eol_changes(const PassCounts& before, const PassCounts& after, bool windows);

// Whether a file is binary, judged on all its bytes as they pass the
// counting pass or the rewrite: a NUL byte anywhere; or control bytes other
// than TAB, LF, VT, FF, CR, BS, ESC and SUB (an old DOS text's end mark),
// DEL among them, more than one in 128 of the bytes; or a UTF-16 or UTF-32
// byte-order mark at the start (UTF-32's little-endian mark begins as
// UTF-16's; its big-endian one with a NUL). Bytes from 0x80 up are text in
// any 8-bit code page.
struct BinaryScan {
    uint64_t bytes;    // scanned so far, from byte 0 on
    uint64_t controls; // control bytes text does not hold, NULs among them
    bool nul;
    unsigned char first[2]; // the file's first two bytes, as far as scanned
};

// Adds the next n bytes of the file.
void binary_scan(BinaryScan* s, const unsigned char* p, uint64_t n);
// Whether a file of `length` bytes whose start is scanned is binary whatever
// the rest holds; with length == s.bytes, the verdict on the whole file.
bool binary_certain(const BinaryScan& s, uint64_t length);

#ifdef EOLSET_TEST_HOOKS
// Whether the scan may use AVX2 where the processor has it (it may by default).
void eol_allow_avx2(bool allow);
#endif
