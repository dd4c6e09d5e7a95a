#include "app/eol.h"

#include "app/reader.h"

namespace {

constexpr uint64_t kNone = ~0ull;

// Changes in CR LF text: everything but CR LF itself.
bool changes_windows_text(EolToken t) {
    return t != EOL_CRLF && t != EOL_PLAIN;
}

} // namespace

void eol_count(LookAheadReader* r, PassCounts* n, uint64_t* first_windows_change) {
    *first_windows_change = kNone;
    for (;;) {
        if (r->position >= r->filled && reader_refill(r)) return;
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
                     bool keep_boms, PassCounts* counts) {
    const unsigned char* p = in;
    const unsigned char* e = in + n;
    unsigned char* o = out;
    while (p < e) {
        const unsigned char* s = eol_skip<false, true>(p, e, nullptr, &o);
        if (s == e) break;
        EolToken t = eol_token_at(in, n, static_cast<uint64_t>(s - in));
        p = s + eol_token_length(t);
        if (t == EOL_BOM && keep_boms) {
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

bool looks_binary(const unsigned char* p, uint64_t n) {
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) return true;
    return memchr(p, 0, n < kBinaryProbe ? n : kBinaryProbe) != nullptr;
}
