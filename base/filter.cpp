#include "base/filter.h"

#include "base/format.h"
#include "base/path.h"
#include "base/utf.h"

namespace {

inline bool is_sep(uint32_t c) {
    return c == '\\' || c == '/';
}

inline uint32_t read_cp(const char* s, uint64_t pos, uint64_t* next) {
    return utf8_next(s, TEXT_NUL, pos, next);
}

// Pending (pattern, text) byte positions, newest on top.
struct Pending {
    uint64_t first[WILD_MAX_PENDING];
    uint64_t second[WILD_MAX_PENDING];
    int count = 0;

    void record(uint64_t a, uint64_t b) {
        if (count < WILD_MAX_PENDING) {
            first[count] = a;
            second[count] = b;
            ++count;
        }
    }
    bool take(uint64_t* a, uint64_t* b) {
        if (count == 0) return false;
        --count;
        *a = first[count];
        *b = second[count];
        return true;
    }
};

// A star at `*pos` in `pat`, met while the other side reads `t`. Records
// the alternatives the star opens and leaves `*pos` past the star, so that
// the path followed first is the star taking nothing. `record_skip` gets the
// position after "**\" (the run standing for no folder), `record_take` the
// position of the star that takes `t`.
template <typename RecordSkip, typename RecordTake>
void star(const char* pat, uint64_t* pos, uint32_t t, RecordSkip record_skip,
          RecordTake record_take) {
    uint64_t p = *pos;
    if (pat[p + 1] == '*') {
        while (pat[p + 1] == '*') ++p;
        if (is_sep(static_cast<unsigned char>(pat[p + 1]))) record_skip(p + 2);
    }
    // Only the last star of a run may take a separator.
    if (t != 0 && (!is_sep(t) || (p > 0 && pat[p - 1] == '*'))) record_take(p);
    *pos = p + 1;
}

inline bool agree(uint32_t p, uint32_t t) {
    return p == t || (is_sep(p) && is_sep(t)) || (p == '?' && t != 0 && !is_sep(t));
}

char* format_sign(Allocator* a, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* s = format_alloc(a, format, args);
    va_end(args);
    return s;
}

} // namespace

bool wild_match(const char* pattern, const char* text) {
    Pending pending;
    pending.record(0, 0);
    uint64_t pp, tp;
    while (pending.take(&pp, &tp)) {
        for (;;) {
            uint64_t pn, tn;
            uint32_t p = read_cp(pattern, pp, &pn);
            uint32_t t = read_cp(text, tp, &tn);
            if (p == '*') {
                star(
                    pattern, &pp, t, [&](uint64_t after) { pending.record(after, tp); },
                    [&](uint64_t self) { pending.record(self, tn); });
                continue;
            }
            if (!agree(p, t)) break;
            if (p == 0) return true;
            if (t == 0) break;
            pp = pn;
            tp = tn;
        }
    }
    return false;
}

bool wild_overlap(const char* a, const char* b) {
    Pending pending;
    pending.record(0, 0);
    uint64_t ap, bp;
    while (pending.take(&ap, &bp)) {
        for (;;) {
            uint64_t an, bn;
            uint32_t ca = read_cp(a, ap, &an);
            uint32_t cb = read_cp(b, bp, &bn);
            if (ca == '*') {
                // A's star may take any code point of B, stars included.
                star(
                    a, &ap, cb, [&](uint64_t after) { pending.record(after, bp); },
                    [&](uint64_t self) { pending.record(self, bn); });
                continue;
            }
            if (cb == '*') {
                star(
                    b, &bp, ca, [&](uint64_t after) { pending.record(ap, after); },
                    [&](uint64_t self) { pending.record(an, self); });
                continue;
            }
            if (!agree(ca, cb) && !agree(cb, ca)) break;
            if (ca == 0 && cb == 0) return true;
            if (ca == 0 || cb == 0) break;
            ap = an;
            bp = bn;
        }
    }
    return false;
}

char* filter_prepare(Allocator* scratch, Allocator* result, const char* filter) {
    const char* rest = filter ? filter : "";
    bool selects = true;
    if (*rest == '+') {
        ++rest;
    } else if (*rest == '-') {
        ++rest;
        selects = false;
    }
    while (is_sep(static_cast<unsigned char>(*rest))) ++rest;
    // Nothing left (or no memory, which the arena's failure count shows)
    // leaves the sign alone.
    const char* pattern = path_normalize(scratch, rest);
    char* signed_pattern = format_sign(scratch, selects ? "+%s" : "-%s", pattern ? pattern : "");
    if (!signed_pattern) return nullptr;
    return path_join(result, signed_pattern, "**");
}

bool filter_includes(const char* const* filters, uint64_t count, const char* probe) {
    bool verdict = count == 0 || filters[0][0] == '-';
    for (uint64_t i = 0; i < count; ++i) {
        const char* f = filters[i];
        // A matcher runs only when its answer can change the verdict.
        if ((f[0] == '-') == verdict && wild_match(f + 1, probe)) verdict = !verdict;
    }
    return verdict;
}

bool filter_descends(const char* const* filters, uint64_t count, const char* probe,
                     const char* folder_pattern) {
    bool verdict = count == 0 || filters[0][0] == '-';
    for (uint64_t i = 0; i < count; ++i) {
        const char* f = filters[i];
        if (f[0] == '-') {
            if (verdict && wild_match(f + 1, probe)) verdict = false;
        } else if (!verdict && wild_overlap(f + 1, folder_pattern)) {
            verdict = true;
        }
    }
    return verdict;
}
