#include "app/editorconfig.h"

#include "base/utf.h"

#include <cstring>

namespace {

// --- the glob, as a machine of states --------------------------------------

enum NodeKind : uint8_t {
    N_BYTE,    // one byte as it stands
    N_ANY,     // ?: one character other than '/'
    N_SET,     // [...]: one character of the set (glob[at, end), `negated`)
    N_NUM,     // {lo..hi}: a whole number in the range, written without leading zeros
    N_NOSLASH, // one byte other than '/' (the body of *)
    N_ALL,     // one byte (the body of **)
    N_SPLIT,   // reads nothing: on to `out` and to `out2`
    N_MATCH,
};

struct Node {
    NodeKind kind;
    uint8_t byte;
    bool negated;
    uint32_t out, out2;
    uint32_t at, end;
    int64_t lo, hi;
};

struct Machine {
    const char* glob;
    Node* nodes;
    uint32_t count, capacity;
    bool failed;
};

uint32_t add(Machine* m, Node n) {
    if (m->failed) return 0;
    if (m->count == m->capacity) {
        uint32_t capacity = m->capacity ? 2 * m->capacity : 64;
        Node* grown = static_cast<Node*>(mem_malloc(capacity * sizeof(Node)));
        if (!grown) {
            m->failed = true;
            return 0;
        }
        if (m->count) memcpy(grown, m->nodes, m->count * sizeof(Node));
        mem_free(m->nodes);
        m->nodes = grown;
        m->capacity = capacity;
    }
    m->nodes[m->count] = n;
    return m->count++;
}

// Points a state made earlier on; nothing once memory ran out (the state
// may not exist).
void set_out(Machine* m, uint32_t at, uint32_t out) {
    if (!m->failed) m->nodes[at].out = out;
}
void set_out2(Machine* m, uint32_t at, uint32_t out2) {
    if (!m->failed) m->nodes[at].out2 = out2;
}

uint32_t node(Machine* m, NodeKind kind, uint32_t out, uint32_t out2 = 0) {
    Node n{};
    n.kind = kind;
    n.out = out;
    n.out2 = out2;
    return add(m, n);
}

// The offset just past the '}' that closes the '{' at `at`, or 0.
uint64_t closing_brace(const char* g, uint64_t end, uint64_t at) {
    int depth = 0;
    for (uint64_t i = at; i < end; ++i) {
        if (g[i] == '\\') {
            ++i;
        } else if (g[i] == '{') {
            ++depth;
        } else if (g[i] == '}' && --depth == 0) {
            return i + 1;
        }
    }
    return 0;
}

// The offset just past the ']' that closes the set at `at` ('['), or 0
// when it never closes or holds a '/' (the '[' is then a plain byte).
uint64_t closing_bracket(const char* g, uint64_t end, uint64_t at) {
    uint64_t i = at + 1;
    if (i < end && g[i] == '!') ++i;
    for (bool first = true; i < end; ++i, first = false) {
        if (g[i] == '/') return 0;
        if (g[i] == '\\') {
            ++i;
            continue;
        }
        if (g[i] == ']' && !first) return i + 1;
        if (g[i] == ']') return 0;
    }
    return 0;
}

bool parse_number(const char* s, uint64_t n, int64_t* out) {
    uint64_t i = 0;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i == n || n - i > 18) return false;
    int64_t v = 0;
    for (; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    *out = negative ? -v : v;
    return true;
}

// "{lo..hi}" with whole numbers: the range, ordered.
bool numeric_range(const char* s, uint64_t n, int64_t* lo, int64_t* hi) {
    for (uint64_t i = 0; i + 1 < n; ++i) {
        if (s[i] != '.' || s[i + 1] != '.') continue;
        if (!parse_number(s, i, lo) || !parse_number(s + i + 2, n - i - 2, hi)) return false;
        if (*lo > *hi) {
            int64_t t = *lo;
            *lo = *hi;
            *hi = t;
        }
        return true;
    }
    return false;
}

// Whether g[b, e) holds a ',' outside nested braces (and not escaped).
bool has_top_comma(const char* g, uint64_t b, uint64_t e) {
    int depth = 0;
    for (uint64_t i = b; i < e; ++i) {
        if (g[i] == '\\')
            ++i;
        else if (g[i] == '{')
            ++depth;
        else if (g[i] == '}')
            --depth;
        else if (g[i] == ',' && depth == 0)
            return true;
    }
    return false;
}

// Braces nested deeper than this are plain bytes.
constexpr int kMaxNesting = 256;

uint32_t compile(Machine* m, uint64_t b, uint64_t e, uint32_t next, int nesting);

// Where the piece that starts at g[i] ends: an escape, "/**/", a run of
// stars, a set, braces (a number range or alternatives), or one byte.
uint64_t piece_end(const char* g, uint64_t i, uint64_t e, int nesting) {
    char c = g[i];
    if (c == '\\' && i + 1 < e) return i + 2;
    if (c == '/' && i + 3 < e && g[i + 1] == '*' && g[i + 2] == '*' && g[i + 3] == '/')
        return i + 4;
    if (c == '*') {
        while (i < e && g[i] == '*') ++i;
        return i;
    }
    if (c == '[') {
        uint64_t close = closing_bracket(g, e, i);
        if (close) return close;
    }
    if (c == '{' && nesting < kMaxNesting) {
        uint64_t close = closing_brace(g, e, i);
        int64_t lo = 0, hi = 0;
        if (close && (numeric_range(g + i + 1, close - i - 2, &lo, &hi) ||
                      has_top_comma(g, i + 1, close - 1)))
            return close;
    }
    return i + 1;
}

// The piece g[i, e), as `piece_end` found it: its first state, leading to
// `next`. A piece of one byte is that byte whatever it is.
uint32_t piece(Machine* m, uint64_t i, uint64_t e, uint32_t next, int nesting) {
    const char* g = m->glob;
    char c = g[i];
    bool alone = e == i + 1;
    Node n{};
    n.out = next;
    if (c == '\\' && !alone) {
        n.kind = N_BYTE;
        n.byte = static_cast<uint8_t>(g[i + 1]);
        return add(m, n);
    }
    if (c == '/' && !alone) {
        // "/**/": a '/' alone, or one, anything, and another.
        n.kind = N_BYTE;
        n.byte = '/';
        uint32_t second = add(m, n);
        uint32_t loop = node(m, N_SPLIT, 0, second);
        uint32_t body = node(m, N_ALL, loop);
        set_out(m, loop, body);
        n.out = node(m, N_SPLIT, next, loop);
        return add(m, n);
    }
    if (c == '*') {
        uint32_t loop = node(m, N_SPLIT, 0, next);
        uint32_t body = node(m, e - i >= 2 ? N_ALL : N_NOSLASH, loop);
        set_out(m, loop, body);
        return loop;
    }
    if (c == '?') return node(m, N_ANY, next);
    if (c == '[' && !alone) {
        n.kind = N_SET;
        n.negated = g[i + 1] == '!';
        n.at = static_cast<uint32_t>(i + 1 + (n.negated ? 1 : 0));
        n.end = static_cast<uint32_t>(e - 1);
        return add(m, n);
    }
    if (c == '{' && !alone) {
        if (numeric_range(g + i + 1, e - i - 2, &n.lo, &n.hi)) {
            n.kind = N_NUM;
            return add(m, n);
        }
        // The alternatives, each leading to `next`, chained by splits.
        uint32_t first = UINT32_MAX;
        uint32_t last_split = UINT32_MAX;
        uint64_t start = i + 1;
        int depth = 0;
        for (uint64_t k = i + 1; k <= e - 1; ++k) {
            bool at_end = k == e - 1;
            if (!at_end && g[k] == '\\') {
                ++k;
                continue;
            }
            if (!at_end && g[k] == '{') ++depth;
            if (!at_end && g[k] == '}') --depth;
            if (!at_end && !(g[k] == ',' && depth == 0)) continue;
            uint32_t alt = compile(m, start, k, next, nesting + 1);
            uint32_t split = node(m, N_SPLIT, alt, UINT32_MAX);
            if (first == UINT32_MAX) first = split;
            if (last_split != UINT32_MAX) set_out2(m, last_split, split);
            last_split = split;
            start = k + 1;
        }
        // The last split's second way leads nowhere: a dead end.
        if (!m->failed) set_out2(m, last_split, m->nodes[last_split].out);
        return first;
    }
    n.kind = N_BYTE;
    n.byte = static_cast<uint8_t>(c);
    return add(m, n);
}

// g[b, e) as states leading to `next`; its first state. Pieces are found
// forward and joined backward, so each leads to the one after it.
uint32_t compile(Machine* m, uint64_t b, uint64_t e, uint32_t next, int nesting) {
    if (b >= e) return next;
    // The pieces' starts, found forward.
    uint64_t starts_stack[64];
    uint64_t* starts = starts_stack;
    uint64_t count = 0, capacity = 64;
    for (uint64_t i = b; i < e;) {
        if (count == capacity) {
            uint64_t* grown = static_cast<uint64_t*>(mem_malloc(2 * capacity * sizeof(uint64_t)));
            if (!grown) {
                m->failed = true;
                break;
            }
            memcpy(grown, starts, count * sizeof(uint64_t));
            if (starts != starts_stack) mem_free(starts);
            starts = grown;
            capacity *= 2;
        }
        starts[count++] = i;
        i = piece_end(m->glob, i, e, nesting);
    }
    uint32_t at = next;
    for (uint64_t k = count; k-- > 0;)
        at = piece(m, starts[k], k + 1 < count ? starts[k + 1] : e, at, nesting);
    if (starts != starts_stack) mem_free(starts);
    return at;
}

// --- running it --------------------------------------------------------------

uint32_t code_point(const char* s, uint64_t n, uint64_t at, uint64_t* next) {
    uint32_t cp = utf8_next(s, n, at, next);
    if (*next <= at) *next = at + 1;
    return cp;
}

bool set_holds(const char* g, const Node& n, uint32_t cp) {
    bool hit = false;
    uint64_t i = n.at;
    while (i < n.end) {
        uint64_t next = 0;
        if (g[i] == '\\' && i + 1 < n.end) ++i;
        uint32_t lo = code_point(g, n.end, i, &next);
        i = next;
        uint32_t hi = lo;
        if (i + 1 < n.end && g[i] == '-') {
            uint64_t j = i + 1;
            if (g[j] == '\\' && j + 1 < n.end) ++j;
            hi = code_point(g, n.end, j, &next);
            i = next;
        }
        if (cp >= lo && cp <= hi) hit = true;
    }
    return hit != n.negated && cp != '/';
}

struct Runner {
    const Node* nodes;
    uint64_t words; // per position
    uint64_t* reach;
    uint32_t* stack;
};

void reach_add(Runner* r, uint64_t pos, uint32_t state) {
    uint64_t* row = r->reach + pos * r->words;
    // Follow the splits: the states that read nothing are closed over here.
    uint32_t top = 0;
    r->stack[top++] = state;
    while (top > 0) {
        uint32_t s = r->stack[--top];
        if (row[s / 64] & (1ull << (s % 64))) continue;
        row[s / 64] |= 1ull << (s % 64);
        const Node& n = r->nodes[s];
        if (n.kind == N_SPLIT) {
            r->stack[top++] = n.out;
            if (n.out2 != n.out) r->stack[top++] = n.out2;
        }
    }
}

} // namespace

// A section's glob, made into states once.
struct EcMachine {
    const char* pattern; // the glob as matched (the set nodes point into it)
    const Node* nodes;
    uint32_t count, start, match;
    bool every;       // matches every path ("*" at any depth)
    bool any_last;    // a match may end in any byte; else only in `last`
    uint64_t last[4]; // the bytes a match may end in
};

namespace {

// The bytes a match may end in: those the states just before the match
// read. Most sections name an ending ("*.txt", "*.{c,h}"), and a path that
// ends otherwise is told at once.
void last_bytes(EcMachine* em) {
    // The states from which the match is reached without reading: found by
    // passes over the splits until none changes, or taken as any byte.
    bool done = false;
    uint8_t* ends = static_cast<uint8_t*>(mem_calloc(em->count, 1));
    if (ends) {
        ends[em->match] = 1;
        for (int pass = 0; pass < 32 && !done; ++pass) {
            done = true;
            for (uint32_t i = 0; i < em->count; ++i) {
                const Node& n = em->nodes[i];
                if (n.kind == N_SPLIT && !ends[i] && (ends[n.out] || ends[n.out2])) {
                    ends[i] = 1;
                    done = false;
                }
            }
        }
    }
    em->any_last = !done;
    for (uint32_t i = 0; i < em->count && !em->any_last; ++i) {
        const Node& n = em->nodes[i];
        if (n.kind == N_SPLIT || n.kind == N_MATCH || !ends[n.out]) continue;
        if (n.kind == N_BYTE)
            em->last[n.byte / 64] |= 1ull << (n.byte % 64);
        else if (n.kind == N_NUM)
            for (uint8_t d = '0'; d <= '9'; ++d) em->last[d / 64] |= 1ull << (d % 64);
        else
            em->any_last = true;
    }
    mem_free(ends);
}

// Makes `glob` into states, from `a`; false when memory ran out.
bool machine_make(Allocator* a, const char* glob, uint64_t glob_length, const EcMachine** out) {
    // A glob without '/' (outside a set) matches at any depth: "**/" before it.
    bool slash = false;
    for (uint64_t i = 0; i < glob_length; ++i) {
        if (glob[i] == '\\') {
            ++i;
        } else if (glob[i] == '[') {
            uint64_t close = closing_bracket(glob, glob_length, i);
            if (close) i = close - 1;
        } else if (glob[i] == '/') {
            slash = true;
        }
    }
    // Matched as the core matches it: the glob after the folder and a '/'
    // ("/**/" before one without a '/'), against '/' and the path, so that
    // a leading "**/" may stand for no folder.
    uint64_t b = glob_length && glob[0] == '/' ? 1 : 0;
    const char* lead = slash ? "/" : "/**/";
    uint64_t lead_length = slash ? 1 : 4;
    uint64_t pattern_length = lead_length + glob_length - b;
    char* pattern = static_cast<char*>(allocate(a, pattern_length + 1));
    EcMachine* em = static_cast<EcMachine*>(allocate(a, sizeof(EcMachine)));
    if (!pattern || !em) return false;
    memcpy(pattern, lead, lead_length);
    memcpy(pattern + lead_length, glob + b, glob_length - b);
    pattern[pattern_length] = 0;
    Machine m{pattern, nullptr, 0, 0, false};
    uint32_t match = node(&m, N_MATCH, 0);
    uint32_t start = compile(&m, 0, pattern_length, match, 0);
    Node* nodes = m.failed ? nullptr : static_cast<Node*>(allocate(a, m.count * sizeof(Node)));
    if (nodes) memcpy(nodes, m.nodes, m.count * sizeof(Node));
    mem_free(m.nodes);
    if (!nodes) return false;
    *em = EcMachine{pattern, nodes, m.count, start, match, false, false, {}};
    em->every = strcmp(pattern, "/**/*") == 0 || strcmp(pattern, "/**") == 0;
    last_bytes(em);
    *out = em;
    return true;
}

// Whether the machine matches `path` (relative, '/' between names).
EcMatch machine_run(const EcMachine* em, const char* path, uint64_t length) {
    if (em->every) return EC_MATCH;
    uint8_t end = length ? static_cast<uint8_t>(path[length - 1]) : '/';
    if (!em->any_last && !(em->last[end / 64] >> (end % 64) & 1)) return EC_NO_MATCH;
    // Scratch on the stack for the usual short paths and small globs.
    char text_stack[512];
    uint64_t reach_stack[512];
    uint32_t list_stack[256];
    char* text =
        length + 2 <= sizeof text_stack ? text_stack : static_cast<char*>(mem_malloc(length + 2));
    if (!text) return EC_NO_MEMORY;
    text[0] = '/';
    memcpy(text + 1, path, length);
    text[length + 1] = 0;
    path = text;
    length += 1;
    const char* glob = em->pattern;
    const uint32_t count = em->count, start = em->start, match = em->match;
    Runner r{em->nodes, (count + 63) / 64, nullptr, nullptr};
    uint64_t words = (length + 1) * r.words;
    r.reach =
        words <= 512 ? reach_stack : static_cast<uint64_t*>(mem_malloc(words * sizeof(uint64_t)));
    if (r.reach) memset(r.reach, 0, words * sizeof(uint64_t));
    r.stack = 2 * (count + 1) <= 256
                  ? list_stack
                  : static_cast<uint32_t*>(mem_malloc(2 * (count + 1) * sizeof(uint32_t)));
    EcMatch matched = EC_NO_MEMORY;
    if (r.reach && r.stack) {
        reach_add(&r, 0, start);
        for (uint64_t pos = 0; pos < length; ++pos) {
            const uint64_t* row = r.reach + pos * r.words;
            uint8_t c = static_cast<uint8_t>(path[pos]);
            uint64_t next_cp = 0;
            uint32_t cp = 0;
            bool cp_known = false;
            for (uint32_t s = 0; s < count; ++s) {
                if (!(row[s / 64] & (1ull << (s % 64)))) continue;
                const Node& n = em->nodes[s];
                switch (n.kind) {
                case N_BYTE:
                    if (c == n.byte) reach_add(&r, pos + 1, n.out);
                    break;
                case N_NOSLASH:
                case N_ALL:
                    // A whole character at a time, so that what follows
                    // starts where a character does.
                    if (!cp_known) {
                        cp = code_point(path, length, pos, &next_cp);
                        cp_known = true;
                    }
                    if (n.kind == N_ALL || c != '/') reach_add(&r, next_cp, n.out);
                    break;
                case N_ANY:
                case N_SET:
                    if (!cp_known) {
                        cp = code_point(path, length, pos, &next_cp);
                        cp_known = true;
                    }
                    if (n.kind == N_ANY ? cp != '/' : set_holds(glob, n, cp))
                        reach_add(&r, next_cp, n.out);
                    break;
                case N_NUM: {
                    // A sign, then digits without a leading zero (or "0").
                    uint64_t i = pos;
                    bool negative = false;
                    if (i < length && (path[i] == '+' || path[i] == '-'))
                        negative = path[i++] == '-';
                    uint64_t d = i;
                    int64_t v = 0;
                    for (; i < length && path[i] >= '0' && path[i] <= '9' && i - d < 18; ++i) {
                        v = v * 10 + (path[i] - '0');
                        if (path[d] == '0' && i > d) break;
                        int64_t value = negative ? -v : v;
                        if (value >= n.lo && value <= n.hi) reach_add(&r, i + 1, n.out);
                    }
                    break;
                }
                case N_SPLIT:
                case N_MATCH:
                    break;
                }
            }
        }
        const uint64_t* last = r.reach + length * r.words;
        matched = (last[match / 64] >> (match % 64)) & 1 ? EC_MATCH : EC_NO_MATCH;
    }
    if (r.reach != reach_stack) mem_free(r.reach);
    if (r.stack != list_stack) mem_free(r.stack);
    if (text != text_stack) mem_free(text);
    return matched;
}

} // namespace

EcMatch ec_glob_match(const char* glob, uint64_t glob_length, const char* path, uint64_t length) {
    ArenaAllocator arena;
    arena_init(&arena);
    const EcMachine* em = nullptr;
    EcMatch matched = machine_make(arena_base(&arena), glob, glob_length, &em)
                          ? machine_run(em, path, length)
                          : EC_NO_MEMORY;
    arena_release(&arena);
    return matched;
}

// --- the file format --------------------------------------------------------

namespace {

constexpr uint64_t kMaxKey = 1024;
constexpr uint64_t kMaxValue = 4096;
constexpr uint64_t kMaxSection = 4096;

inline bool blank(char c) {
    return c == ' ' || c == '\t';
}

char* lowered(Allocator* a, const char* s, uint64_t n) {
    char* out = str_dup(a, s, n);
    if (out)
        for (uint64_t i = 0; i < n; ++i)
            if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<char>(out[i] + 32);
    return out;
}

bool known_property(const char* key) {
    static const char* const kKnown[] = {"indent_style",
                                         "indent_size",
                                         "tab_width",
                                         "end_of_line",
                                         "charset",
                                         "insert_final_newline",
                                         "trim_trailing_whitespace",
                                         "root"};
    for (const char* k : kKnown)
        if (strcmp(k, key) == 0) return true;
    return false;
}

template <class T> bool grow(ArenaAllocator* arena, T** items, uint32_t count, uint32_t* capacity) {
    if (count < *capacity) return true;
    uint32_t c = *capacity ? 2 * *capacity : 8;
    T* grown = static_cast<T*>(arena_allocate(arena_base(arena), uint64_t(c) * sizeof(T)));
    if (!grown) return false;
    if (count) memcpy(grown, *items, count * sizeof(T));
    *items = grown;
    *capacity = c;
    return true;
}

} // namespace

bool ec_parse(ArenaAllocator* arena, const char* data, uint64_t size, EcFile* file) {
    *file = EcFile{};
    Allocator* a = arena_base(arena);
    uint32_t section_capacity = 0, property_capacity = 0;
    uint64_t i = size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    for (uint32_t line = 1; i < size; ++line) {
        const char* nl = static_cast<const char*>(memchr(data + i, '\n', size - i));
        uint64_t end = nl ? static_cast<uint64_t>(nl - data) : size;
        uint64_t b = i, e = end;
        i = end + 1;
        while (b < e && (blank(data[b]) || data[b] == '\r')) ++b;
        while (e > b && (blank(data[e - 1]) || data[e - 1] == '\r')) --e;
        if (b == e || data[b] == '#' || data[b] == ';') continue;
        const char* s = data + b;
        uint64_t n = e - b;
        if (s[0] == '[') {
            if (s[n - 1] != ']' || n - 2 > kMaxSection) {
                file->bad_line = line;
                return true;
            }
            if (!grow(arena, &file->sections, file->count, &section_capacity)) return false;
            EcSection& sec = file->sections[file->count++];
            sec = EcSection{};
            sec.glob = str_dup(a, s + 1, n - 2);
            sec.length = static_cast<uint32_t>(n - 2);
            if (!sec.glob || !machine_make(a, sec.glob, sec.length, &sec.machine)) return false;
            property_capacity = 0;
            continue;
        }
        const char* eq = static_cast<const char*>(memchr(s, '=', n));
        if (!eq) {
            file->bad_line = line;
            return true;
        }
        uint64_t kn = static_cast<uint64_t>(eq - s);
        while (kn > 0 && blank(s[kn - 1])) --kn;
        const char* v = eq + 1;
        uint64_t vn = n - static_cast<uint64_t>(v - s);
        while (vn > 0 && blank(*v)) ++v, --vn;
        if (kn == 0 || kn > kMaxKey || vn > kMaxValue) {
            file->bad_line = line;
            return true;
        }
        char* key = lowered(a, s, kn);
        if (!key) return false;
        char* value = known_property(key) ? lowered(a, v, vn) : str_dup(a, v, vn);
        if (!value) return false;
        if (file->count == 0) {
            // Before the first section only root counts.
            if (strcmp(key, "root") == 0) file->root = strcmp(value, "true") == 0;
            continue;
        }
        EcSection& sec = file->sections[file->count - 1];
        if (!grow(arena, &sec.properties, sec.count, &property_capacity)) return false;
        sec.properties[sec.count++] = EcProperty{key, value};
    }
    return true;
}

void ec_properties_init(EcProperties* p) {
    *p = EcProperties{};
    arena_init(&p->arena);
}

void ec_properties_release(EcProperties* p) {
    arena_release(&p->arena);
    *p = EcProperties{};
}

const char* ec_get(const EcProperties* p, const char* key) {
    for (uint32_t i = 0; i < p->count; ++i)
        if (strcmp(p->items[i].key, key) == 0) return p->items[i].value;
    return nullptr;
}

namespace {

bool set(EcProperties* p, const char* key, const char* value) {
    for (uint32_t i = 0; i < p->count; ++i) {
        if (strcmp(p->items[i].key, key) == 0) {
            p->items[i].value = value;
            return true;
        }
    }
    if (!grow(&p->arena, &p->items, p->count, &p->capacity)) return false;
    p->items[p->count++] = EcProperty{key, value};
    return true;
}

} // namespace

bool ec_apply(EcProperties* p, const EcFile* file, const char* path, uint64_t length) {
    for (uint32_t i = 0; i < file->count; ++i) {
        const EcSection& sec = file->sections[i];
        EcMatch m = machine_run(sec.machine, path, length);
        if (m == EC_NO_MEMORY) return false;
        if (m == EC_NO_MATCH) continue;
        for (uint32_t k = 0; k < sec.count; ++k)
            if (!set(p, sec.properties[k].key, sec.properties[k].value)) return false;
    }
    return true;
}

bool ec_finish(EcProperties* p, const int version[3]) {
    auto at_least = [&](int a, int b, int c) {
        if (version[0] != a) return version[0] > a;
        if (version[1] != b) return version[1] > b;
        return version[2] >= c;
    };
    const char* style = ec_get(p, "indent_style");
    const char* size = ec_get(p, "indent_size");
    const char* tab = ec_get(p, "tab_width");
    if (style && strcmp(style, "tab") == 0 && !size && at_least(0, 10, 0)) {
        if (!set(p, "indent_size", "tab")) return false;
        size = "tab";
    }
    if (size && strcmp(size, "tab") != 0 && !tab) {
        if (!set(p, "tab_width", size)) return false;
    }
    if (size && strcmp(size, "tab") == 0 && tab) {
        if (!set(p, "indent_size", tab)) return false;
    }
    return true;
}
