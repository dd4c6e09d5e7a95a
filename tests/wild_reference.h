// The wildcard matchers as they were before they became polynomial: a
// backtracking search with a stack of pending alternatives. Kept as the
// reference the new matchers must agree with. The old stack held 50
// alternatives and dropped any beyond; here its size is a parameter, so the
// reference can also be run without that limit.
#pragma once

#include "base/utf.h"

#include <cstdint>
#include <vector>

namespace wild_reference {

inline bool is_sep(uint32_t c) {
    return c == '\\' || c == '/';
}

inline uint32_t read_cp(const char* s, uint64_t pos, uint64_t* next) {
    return utf8_next(s, TEXT_NUL, pos, next);
}

struct Pending {
    std::vector<uint64_t> first, second;
    size_t limit;
    // Alternatives a full stack had to drop.
    uint64_t dropped = 0;
    // Steps taken, to show the cost of the search.
    uint64_t steps = 0;

    explicit Pending(size_t n) : limit(n) {}
    void record(uint64_t a, uint64_t b) {
        if (first.size() < limit) {
            first.push_back(a);
            second.push_back(b);
        } else {
            ++dropped;
        }
    }
    bool take(uint64_t* a, uint64_t* b) {
        if (first.empty()) return false;
        *a = first.back();
        *b = second.back();
        first.pop_back();
        second.pop_back();
        return true;
    }
};

template <typename RecordSkip, typename RecordTake>
void star(const char* pat, uint64_t* pos, uint32_t t, RecordSkip record_skip,
          RecordTake record_take) {
    uint64_t p = *pos;
    if (pat[p + 1] == '*') {
        while (pat[p + 1] == '*') ++p;
        if (is_sep(static_cast<unsigned char>(pat[p + 1]))) record_skip(p + 2);
    }
    if (t != 0 && (!is_sep(t) || (p > 0 && pat[p - 1] == '*'))) record_take(p);
    *pos = p + 1;
}

inline bool agree(uint32_t p, uint32_t t) {
    return p == t || (is_sep(p) && is_sep(t)) || (p == '?' && t != 0 && !is_sep(t));
}

inline bool wild_match(const char* pattern, const char* text, Pending& pending) {
    pending.record(0, 0);
    uint64_t pp, tp;
    while (pending.take(&pp, &tp)) {
        for (;;) {
            ++pending.steps;
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

inline bool wild_overlap(const char* a, const char* b, Pending& pending) {
    pending.record(0, 0);
    uint64_t ap, bp;
    while (pending.take(&ap, &bp)) {
        for (;;) {
            ++pending.steps;
            uint64_t an, bn;
            uint32_t ca = read_cp(a, ap, &an);
            uint32_t cb = read_cp(b, bp, &bn);
            if (ca == '*') {
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

} // namespace wild_reference
