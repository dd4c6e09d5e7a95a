#include "base/filter.h"

#include "base/alloc.h"
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

// A set of byte positions in a pattern (or of position pairs), on the stack
// up to kStackBits and on the heap beyond.
constexpr uint64_t kStackBits = 1 << 16;

struct BitSet {
    uint64_t* words;
    uint64_t count; // words
    bool heap;

    bool init(uint64_t bits, uint64_t* stack, uint64_t stack_words) {
        count = (bits + 63) / 64;
        heap = count > stack_words;
        words = heap ? static_cast<uint64_t*>(mem_calloc(count, 8)) : stack;
        if (!words) return false;
        if (!heap) clear();
        return true;
    }
    void release() {
        if (heap) mem_free(words);
    }
    void clear() {
        for (uint64_t i = 0; i < count; ++i) words[i] = 0;
    }
    bool test(uint64_t i) const { return (words[i >> 6] >> (i & 63)) & 1; }
    void set(uint64_t i) { words[i >> 6] |= uint64_t{1} << (i & 63); }
    // Calls f(i) for every i in the set, ascending; f may add positions
    // above i, which the same pass then visits.
    template <typename F> void each(F f) const {
        for (uint64_t w = 0; w < count; ++w) {
            uint64_t done = 0;
            for (;;) {
                uint64_t bits = words[w] & ~done;
                if (!bits) break;
                uint64_t low = bits & (~bits + 1);
                done |= low | (low - 1);
                f(w * 64 + static_cast<uint64_t>(__builtin_ctzll(bits)));
            }
        }
    }
    bool empty() const {
        for (uint64_t i = 0; i < count; ++i)
            if (words[i]) return false;
        return true;
    }
};

// What a star met at `pos` does. A run of stars is entered at its first
// star and stands as its last one: `last` is the star that takes code
// points, `skip` (0 when none) the position after "**" and a separator,
// where the run stands for no folder at all. Only the last star of a run of
// two or more may take a separator.
struct StarMoves {
    uint64_t last;
    uint64_t skip;
    bool takes_separators;
};

StarMoves star_moves(const char* pat, uint64_t pos) {
    StarMoves m{pos, 0, false};
    if (pat[pos + 1] == '*') {
        while (pat[m.last + 1] == '*') ++m.last;
        if (is_sep(static_cast<unsigned char>(pat[m.last + 1]))) m.skip = m.last + 2;
    }
    m.takes_separators = m.last > 0 && pat[m.last - 1] == '*';
    return m;
}

// Adds the positions that a star reaches without taking anything: past its
// run, and past "**\". Positions only grow, so one ascending pass is enough.
void close_over_stars(const char* pat, BitSet* s) {
    s->each([&](uint64_t i) {
        if (pat[i] != '*') return;
        StarMoves m = star_moves(pat, i);
        s->set(m.last + 1);
        if (m.skip) s->set(m.skip);
    });
}

inline bool agree(uint32_t p, uint32_t t) {
    return p == t || (is_sep(p) && is_sep(t)) || (p == '?' && t != 0 && !is_sep(t));
}

} // namespace

// The matchers follow every alternative that a backtracking search over the
// two strings would try, but visit each state once: a set of pattern
// positions per text code point for wild_match, and the reachable position
// pairs for wild_overlap. Time O(|pattern| x |text|).
bool wild_match(const char* pattern, const char* text) {
    const uint64_t length = str_len(pattern);
    uint64_t stack_a[kStackBits / 64 / 2], stack_b[kStackBits / 64 / 2];
    BitSet cur, next;
    if (!cur.init(length + 1, stack_a, sizeof stack_a / 8)) return false;
    if (!next.init(length + 1, stack_b, sizeof stack_b / 8)) {
        cur.release();
        return false;
    }
    cur.set(0);
    close_over_stars(pattern, &cur);
    uint64_t tp = 0;
    bool alive = true;
    for (;;) {
        uint64_t tn;
        uint32_t t = read_cp(text, tp, &tn);
        if (t == 0) break;
        next.clear();
        cur.each([&](uint64_t i) {
            uint64_t pn;
            uint32_t p = read_cp(pattern, i, &pn);
            if (p == '*') {
                StarMoves m = star_moves(pattern, i);
                if (!is_sep(t) || m.takes_separators) next.set(m.last);
            } else if (p != 0 && agree(p, t)) {
                next.set(pn);
            }
        });
        close_over_stars(pattern, &next);
        BitSet swap = cur;
        cur = next;
        next = swap;
        if (cur.empty()) {
            alive = false;
            break;
        }
        tp = tn;
    }
    bool matched = alive && cur.test(length);
    cur.release();
    next.release();
    return matched;
}

bool wild_overlap(const char* a, const char* b) {
    const uint64_t la = str_len(a), lb = str_len(b);
    const uint64_t width = la + 1;
    uint64_t stack[kStackBits / 64];
    BitSet seen;
    // Too large to keep track of: some path may match both, so say so.
    if (!seen.init(width * (lb + 1), stack, sizeof stack / 8)) return true;
    seen.set(0);
    bool overlap = false;
    // Every move advances one side at least and neither side goes back, so
    // the pairs in (b, a) order are a topological order.
    for (uint64_t bp = 0; bp <= lb && !overlap; ++bp) {
        for (uint64_t ap = 0; ap <= la && !overlap; ++ap) {
            if (!seen.test(bp * width + ap)) continue;
            uint64_t an, bn;
            uint32_t ca = read_cp(a, ap, &an);
            uint32_t cb = read_cp(b, bp, &bn);
            auto reach = [&](uint64_t x, uint64_t y) { seen.set(y * width + x); };
            if (ca == '*') {
                // A's star may take any code point of B, stars included.
                StarMoves m = star_moves(a, ap);
                if (m.skip) reach(m.skip, bp);
                if (cb != 0 && (!is_sep(cb) || m.takes_separators)) reach(m.last, bn);
                reach(m.last + 1, bp);
            } else if (cb == '*') {
                StarMoves m = star_moves(b, bp);
                if (m.skip) reach(ap, m.skip);
                if (ca != 0 && (!is_sep(ca) || m.takes_separators)) reach(an, m.last);
                reach(ap, m.last + 1);
            } else if (agree(ca, cb) || agree(cb, ca)) {
                if (ca == 0 && cb == 0)
                    overlap = true;
                else if (ca != 0 && cb != 0)
                    reach(an, bn);
            }
        }
    }
    seen.release();
    return overlap;
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
    char* signed_pattern = format_new(scratch, selects ? "+%s" : "-%s", pattern ? pattern : "");
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
