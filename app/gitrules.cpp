#include "app/gitrules.h"

#include "base/utf.h"

#include <cstring>

const char* const ATTR_SET = "(set)";
const char* const ATTR_UNSET = "(unset)";
const char* const ATTR_UNSPECIFIED = "(unspecified)";

namespace {

inline uint8_t lower(uint8_t c) {
    return c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + 32) : c;
}
inline bool same(uint8_t a, uint8_t b, bool fold) {
    return a == b || (fold && lower(a) == lower(b));
}
bool same_bytes(const char* a, const char* b, uint64_t n, bool fold) {
    for (uint64_t i = 0; i < n; ++i)
        if (!same(static_cast<uint8_t>(a[i]), static_cast<uint8_t>(b[i]), fold)) return false;
    return true;
}
inline bool is_special(char c) {
    return c == '*' || c == '?' || c == '[' || c == '\\';
}

// --- the wildcard match ----------------------------------------------------

enum TokenKind : uint8_t {
    T_BYTE,     // one byte as it stands
    T_ANY,      // ?
    T_SET,      // [...]: `at` is the offset of its first byte after '['
    T_STAR,     // * (no '/')
    T_GLOBSTAR, // ** between slashes: anything
    T_DIRSTAR,  // **/ : anything, or (skipping the '/' token after it) nothing
    T_NEVER,    // a pattern that cannot match (a closing '\', an open set)
};
struct Token {
    TokenKind kind;
    uint8_t byte;
    uint32_t at;
};

bool class_named(const char* s, uint64_t n, uint8_t c, bool* known) {
    auto is = [&](const char* name) { return n == strlen(name) && memcmp(s, name, n) == 0; };
    bool upper = c >= 'A' && c <= 'Z', low = c >= 'a' && c <= 'z', digit = c >= '0' && c <= '9';
    bool alpha = upper || low, graph = c > 0x20 && c < 0x7F;
    *known = true;
    if (is("alnum")) return alpha || digit;
    if (is("alpha")) return alpha;
    if (is("blank")) return c == ' ' || c == '\t';
    if (is("cntrl")) return c < 0x20 || c == 0x7F;
    if (is("digit")) return digit;
    if (is("graph")) return graph;
    if (is("lower")) return low;
    if (is("print")) return graph || c == ' ';
    if (is("punct")) return graph && !alpha && !digit;
    if (is("space")) return c == ' ' || c == '\t' || c == '\n' || c == '\r';
    if (is("upper")) return upper;
    if (is("xdigit")) return digit || (lower(c) >= 'a' && lower(c) <= 'f');
    *known = false;
    return false;
}

// Walks the set that starts at p[at] (just after '['). Returns the offset
// just after its closing ']', or 0 when the set never closes or names an
// unknown class (git then matches nothing). With `c` given, *hit says
// whether the set holds it.
uint64_t walk_set(const char* p, uint64_t n, uint64_t at, int c, bool fold, bool* hit) {
    bool matched = false;
    uint64_t i = at;
    bool negated = i < n && (p[i] == '!' || p[i] == '^');
    if (negated) ++i;
    int prev = -1; // the byte a '-' may start a range from
    bool first = true;
    auto in = [&](int x) {
        return c >= 0 && (x == c || (fold && lower(uint8_t(x)) == lower(uint8_t(c))));
    };
    for (;; first = false) {
        if (i >= n) return 0;
        uint8_t b = static_cast<uint8_t>(p[i]);
        if (b == ']' && !first) break;
        if (b == '\\') {
            if (++i >= n) return 0;
            b = static_cast<uint8_t>(p[i]);
            if (in(b)) matched = true;
            prev = b;
            ++i;
        } else if (b == '-' && prev >= 0 && i + 1 < n && p[i + 1] != ']') {
            uint8_t hi = static_cast<uint8_t>(p[++i]);
            if (hi == '\\') {
                if (++i >= n) return 0;
                hi = static_cast<uint8_t>(p[i]);
            }
            if (c >= 0) {
                uint8_t lo = static_cast<uint8_t>(prev);
                if (c >= lo && c <= hi) matched = true;
                if (fold) {
                    uint8_t l = lower(uint8_t(c)), u = l >= 'a' && l <= 'z' ? uint8_t(l - 32) : l;
                    if ((l >= lo && l <= hi) || (u >= lo && u <= hi)) matched = true;
                }
            }
            prev = -1;
            ++i;
        } else if (b == '[' && i + 1 < n && p[i + 1] == ':') {
            uint64_t s = i + 2, e = s;
            while (e < n && p[e] != ']') ++e;
            if (e >= n) return 0;
            if (e == s || p[e - 1] != ':') {
                // No ":]": the '[' is a member as it stands.
                if (in('[')) matched = true;
                prev = '[';
                ++i;
                continue;
            }
            bool known = false;
            bool has = c >= 0 && class_named(p + s, e - 1 - s, uint8_t(c), &known);
            if (c >= 0 && fold && !has && lower(uint8_t(c)) != uint8_t(c))
                has = class_named(p + s, e - 1 - s, lower(uint8_t(c)), &known);
            if (c >= 0 && fold && !has && c >= 'a' && c <= 'z')
                has = class_named(p + s, e - 1 - s, uint8_t(c - 32), &known);
            class_named(p + s, e - 1 - s, 'a', &known);
            if (!known) return 0;
            if (has) matched = true;
            prev = -1;
            i = e + 1;
        } else {
            if (in(b)) matched = true;
            prev = b;
            ++i;
        }
    }
    if (hit) *hit = matched != negated && c != '/';
    return i + 1;
}

// The pattern as tokens; the count, or 0 for the empty pattern. `out` has
// room for `n` + 1 tokens.
uint64_t tokenize(const char* p, uint64_t n, Token* out) {
    uint64_t k = 0;
    for (uint64_t i = 0; i < n;) {
        char c = p[i];
        if (c == '\\') {
            if (i + 1 >= n) {
                out[k++] = Token{T_NEVER, 0, 0};
                break;
            }
            out[k++] = Token{T_BYTE, static_cast<uint8_t>(p[i + 1]), 0};
            i += 2;
        } else if (c == '?') {
            out[k++] = Token{T_ANY, 0, 0};
            ++i;
        } else if (c == '[') {
            uint64_t end = walk_set(p, n, i + 1, -1, false, nullptr);
            if (end == 0) {
                out[k++] = Token{T_NEVER, 0, 0};
                break;
            }
            out[k++] = Token{T_SET, 0, static_cast<uint32_t>(i + 1)};
            i = end;
        } else if (c == '*') {
            uint64_t j = i;
            while (j < n && p[j] == '*') ++j;
            bool before = i == 0 || p[i - 1] == '/';
            bool after = j == n || p[j] == '/' || (p[j] == '\\' && j + 1 < n && p[j + 1] == '/');
            if (j - i >= 2 && before && after)
                out[k++] = Token{j < n && p[j] == '/' ? T_DIRSTAR : T_GLOBSTAR, 0, 0};
            else
                out[k++] = Token{T_STAR, 0, 0};
            i = j;
        } else {
            out[k++] = Token{T_BYTE, static_cast<uint8_t>(c), 0};
            ++i;
        }
    }
    return k;
}

// A state is reached afresh (kArrived), or kept by a star reading on
// (kStayed): "**/" may stand for no folder only where it is reached afresh.
constexpr uint8_t kArrived = 1;
constexpr uint8_t kStayed = 2;

// Follows the moves that read nothing, in token order (they lead forward).
void close_over(const Token* t, uint64_t k, uint8_t* at) {
    for (uint64_t i = 0; i < k; ++i) {
        if (!at[i]) continue;
        TokenKind kind = t[i].kind;
        if (kind == T_STAR || kind == T_GLOBSTAR || kind == T_DIRSTAR) at[i + 1] |= kArrived;
        if (kind == T_DIRSTAR && (at[i] & kArrived) && i + 2 <= k) at[i + 2] |= kArrived;
    }
}

} // namespace

GitMatch git_wildmatch(const char* pattern, uint64_t pattern_length, const char* text,
                       uint64_t text_length, bool fold) {
    // Up to this many tokens the work stays on the stack.
    constexpr uint64_t kStack = 256;
    Token token_stack[kStack + 1];
    uint8_t state_stack[2 * (kStack + 2)];
    Token* tokens = token_stack;
    uint8_t* states = state_stack;
    if (pattern_length > kStack) {
        tokens = static_cast<Token*>(mem_malloc((pattern_length + 1) * sizeof(Token)));
        states = static_cast<uint8_t*>(mem_malloc(2 * (pattern_length + 2)));
        if (!tokens || !states) {
            mem_free(tokens);
            mem_free(states);
            return GIT_NO_MEMORY;
        }
    }
    uint64_t k = tokenize(pattern, pattern_length, tokens);
    uint8_t* cur = states;
    uint8_t* next = states + k + 2;
    memset(cur, 0, k + 1);
    cur[0] = kArrived;
    close_over(tokens, k, cur);
    bool alive = true;
    for (uint64_t j = 0; j < text_length && alive; ++j) {
        uint8_t c = static_cast<uint8_t>(text[j]);
        memset(next, 0, k + 1);
        alive = false;
        for (uint64_t i = 0; i < k; ++i) {
            if (!cur[i]) continue;
            const Token& t = tokens[i];
            bool step = false, stay = false;
            switch (t.kind) {
            case T_BYTE:
                step = same(c, t.byte, fold);
                break;
            case T_ANY:
                step = c != '/';
                break;
            case T_SET: {
                bool hit = false;
                walk_set(pattern, pattern_length, t.at, c, fold, &hit);
                step = hit;
                break;
            }
            case T_STAR:
                stay = c != '/';
                break;
            case T_GLOBSTAR:
            case T_DIRSTAR:
                stay = true;
                break;
            case T_NEVER:
                break;
            }
            if (step) next[i + 1] |= kArrived;
            if (stay) next[i] |= kStayed;
            alive = alive || step || stay;
        }
        close_over(tokens, k, next);
        uint8_t* swap = cur;
        cur = next;
        next = swap;
    }
    bool matched = alive && cur[k];
    if (tokens != token_stack) {
        mem_free(tokens);
        mem_free(states);
    }
    return matched ? GIT_MATCH : GIT_NO_MATCH;
}

namespace {

// --- lines -------------------------------------------------------------------

uint64_t hash_bytes(const char* s, uint64_t n, bool fold) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint64_t i = 0; i < n; ++i) {
        uint8_t c = static_cast<uint8_t>(s[i]);
        h = (h ^ (fold ? lower(c) : c)) * 0x100000001b3ull;
    }
    return h;
}

// The key a "*..." suffix (or a name) is filed under: its last extension,
// the bytes after its last '.'; -1 when it has no '.'.
int64_t last_dot(const char* s, uint64_t n) {
    for (uint64_t i = n; i > 0; --i)
        if (s[i - 1] == '.') return static_cast<int64_t>(i - 1);
    return -1;
}

struct Builder {
    ArenaAllocator* arena;
    GitRule* rules;
    uint32_t count, capacity;
};

GitRule* add_rule(Builder* b) {
    if (b->count == b->capacity) {
        uint32_t capacity = b->capacity ? 2 * b->capacity : 16;
        GitRule* grown = static_cast<GitRule*>(
            arena_allocate(arena_base(b->arena), uint64_t(capacity) * sizeof(GitRule)));
        if (!grown) return nullptr;
        if (b->count) memcpy(grown, b->rules, b->count * sizeof(GitRule));
        b->rules = grown;
        b->capacity = capacity;
    }
    return &b->rules[b->count++];
}

// Splits a path pattern as git does: "!", a closing '/', whether it holds a
// '/', its literal prefix, a "*literal" form; a leading '/' is dropped.
void shape_pattern(GitRule* r, const char* p, uint64_t n, bool negation) {
    r->flags = 0;
    if (negation && n && p[0] == '!') {
        r->flags |= GIT_NEGATED;
        ++p;
        --n;
    }
    if (n && p[n - 1] == '/') {
        r->flags |= GIT_FOLDER;
        --n;
    }
    if (!memchr(p, '/', n)) r->flags |= GIT_NAME;
    if (n && p[0] == '/') {
        ++p;
        --n;
    }
    uint64_t plain = 0;
    while (plain < n && !is_special(p[plain])) ++plain;
    r->literal_prefix = static_cast<uint32_t>(plain);
    if (plain == n) r->flags |= GIT_LITERAL;
    if (n && p[0] == '*' && (r->flags & GIT_NAME)) {
        uint64_t i = 1;
        while (i < n && !is_special(p[i])) ++i;
        if (i == n) r->flags |= GIT_SUFFIX;
    }
    r->pattern = p;
    r->length = static_cast<uint32_t>(n);
}

int compare_keys(const RuleKey& a, const RuleKey& b) {
    if (a.hash != b.hash) return a.hash < b.hash ? -1 : 1;
    return a.rule < b.rule ? -1 : a.rule > b.rule ? 1 : 0;
}

// Heap sort: in place, and n log n however long the file (a generated
// ignore file may hold a hundred thousand names).
void sort_keys(RuleKey* keys, uint32_t n) {
    auto sift = [&](uint32_t at, uint32_t end) {
        for (;;) {
            uint32_t child = 2 * at + 1;
            if (child >= end) return;
            if (child + 1 < end && compare_keys(keys[child], keys[child + 1]) < 0) ++child;
            if (compare_keys(keys[at], keys[child]) >= 0) return;
            RuleKey t = keys[at];
            keys[at] = keys[child];
            keys[child] = t;
            at = child;
        }
    };
    for (uint32_t i = n / 2; i-- > 0;) sift(i, n);
    for (uint32_t end = n; end > 1;) {
        --end;
        RuleKey t = keys[0];
        keys[0] = keys[end];
        keys[end] = t;
        sift(0, end);
    }
}

// The indexes, once every rule is in. Names and suffixes are hashed folded
// so that one index serves both case rules.
bool finish_list(Builder* b, const char* base, GitRuleList* list) {
    Allocator* a = arena_base(b->arena);
    list->base = base;
    list->base_length = static_cast<uint32_t>(str_len(base));
    list->rules = b->rules;
    list->count = b->count;
    uint32_t n = b->count ? b->count : 1;
    list->names = static_cast<RuleKey*>(arena_allocate(a, n * sizeof(RuleKey)));
    list->suffixes = static_cast<RuleKey*>(arena_allocate(a, n * sizeof(RuleKey)));
    list->general = static_cast<uint32_t*>(arena_allocate(a, n * sizeof(uint32_t)));
    if (!list->names || !list->suffixes || !list->general) return false;
    for (uint32_t i = 0; i < b->count; ++i) {
        const GitRule& r = b->rules[i];
        bool name = (r.flags & GIT_NAME) != 0;
        if (name && (r.flags & GIT_LITERAL)) {
            list->names[list->name_count++] = RuleKey{hash_bytes(r.pattern, r.length, true), i};
            continue;
        }
        int64_t dot = (name && (r.flags & GIT_SUFFIX)) ? last_dot(r.pattern, r.length) : -1;
        if (dot >= 0) {
            uint64_t at = static_cast<uint64_t>(dot) + 1;
            list->suffixes[list->suffix_count++] =
                RuleKey{hash_bytes(r.pattern + at, r.length - at, true), i};
            continue;
        }
        list->general[list->general_count++] = i;
    }
    sort_keys(list->names, list->name_count);
    sort_keys(list->suffixes, list->suffix_count);
    return true;
}

// Calls `line(b, text, length)` for every line of a rules file: a UTF-8
// byte-order mark at its start is skipped, and each line's closing CR.
template <class F> bool for_each_line(const char* data, uint64_t size, F line) {
    uint64_t i = 0;
    if (size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) i = 3;
    while (i < size) {
        const char* nl = static_cast<const char*>(memchr(data + i, '\n', size - i));
        uint64_t end = nl ? static_cast<uint64_t>(nl - data) : size;
        uint64_t n = end - i;
        bool had_cr = n && data[end - 1] == '\r';
        if (!line(data + i, n, had_cr)) return false;
        i = end + 1;
    }
    return true;
}

} // namespace

bool ignore_parse(ArenaAllocator* arena, const char* data, uint64_t size, const char* base,
                  GitRuleList* list) {
    *list = GitRuleList{};
    Builder b{arena, nullptr, 0, 0};
    bool ok = for_each_line(data, size, [&](const char* s, uint64_t n, bool had_cr) {
        if (n == 0 || s[0] == '#') return true;
        if (had_cr) --n;
        // Closing spaces go, unless a '\' keeps the one after it.
        uint64_t keep = 0;
        for (uint64_t i = 0; i < n; ++i) {
            if (s[i] == ' ') continue;
            if (s[i] == '\\' && i + 1 < n) ++i;
            keep = i + 1;
        }
        n = keep;
        if (n == 0) return true;
        char* copy = str_dup(arena_base(arena), s, n);
        GitRule* r = copy ? add_rule(&b) : nullptr;
        if (!r) return false;
        shape_pattern(r, copy, n, true);
        return true;
    });
    return ok && finish_list(&b, base, list);
}

namespace {

inline bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
uint64_t skip_blank(const char* s, uint64_t n, uint64_t i) {
    while (i < n && is_blank(s[i])) ++i;
    return i;
}
uint64_t skip_word(const char* s, uint64_t n, uint64_t i) {
    while (i < n && !is_blank(s[i])) ++i;
    return i;
}

bool valid_attr_name(const char* s, uint64_t n) {
    if (n == 0 || s[0] == '-') return false;
    for (uint64_t i = 0; i < n; ++i) {
        char c = s[i];
        if (!(c == '-' || c == '.' || c == '_' || (c >= '0' && c <= '9') ||
              (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    }
    return true;
}

// The id of an attribute name, added when new; UINT32_MAX without memory.
uint32_t name_id(GitNames* g, const char* s, uint64_t n) {
    for (uint32_t i = 0; i < g->count; ++i)
        if (g->lengths[i] == n && memcmp(g->names[i], s, n) == 0) return i;
    if (g->count == g->capacity) {
        uint32_t capacity = g->capacity ? 2 * g->capacity : 16;
        Allocator* a = arena_base(&g->arena);
        auto names = static_cast<const char**>(arena_allocate(a, capacity * sizeof(char*)));
        auto lengths = static_cast<uint32_t*>(arena_allocate(a, capacity * sizeof(uint32_t)));
        auto macros = static_cast<const GitRule**>(arena_allocate(a, capacity * sizeof(GitRule*)));
        if (!names || !lengths || !macros) return UINT32_MAX;
        if (g->count) {
            memcpy(names, g->names, g->count * sizeof(char*));
            memcpy(lengths, g->lengths, g->count * sizeof(uint32_t));
            memcpy(macros, g->macros, g->count * sizeof(GitRule*));
        }
        g->names = names;
        g->lengths = lengths;
        g->macros = macros;
        g->capacity = capacity;
    }
    char* copy = str_dup(arena_base(&g->arena), s, n);
    if (!copy) return UINT32_MAX;
    g->names[g->count] = copy;
    g->lengths[g->count] = static_cast<uint32_t>(n);
    g->macros[g->count] = nullptr;
    return g->count++;
}

// A C-quoted pattern ("a b.txt", with git's escapes) into `out` (room for n
// bytes); its length, and in *end the offset after the closing quote. False
// when the quoting is bad: git then reads the line as if unquoted.
bool unquote(const char* s, uint64_t n, char* out, uint64_t* length, uint64_t* end) {
    uint64_t k = 0;
    for (uint64_t i = 1; i < n; ++i) {
        char c = s[i];
        if (c == '"') {
            *length = k;
            *end = i + 1;
            return true;
        }
        if (c != '\\') {
            out[k++] = c;
            continue;
        }
        if (++i >= n) return false;
        c = s[i];
        static const char kFrom[] = "abfnrtv\\\"";
        static const char kTo[] = "\a\b\f\n\r\t\v\\\"";
        const char* hit = strchr(kFrom, c);
        if (hit && c) {
            out[k++] = kTo[hit - kFrom];
        } else if (c >= '0' && c <= '3' && i + 2 < n && s[i + 1] >= '0' && s[i + 1] <= '7' &&
                   s[i + 2] >= '0' && s[i + 2] <= '7') {
            out[k++] =
                static_cast<char>(((c - '0') << 6) | ((s[i + 1] - '0') << 3) | (s[i + 2] - '0'));
            i += 2;
        } else {
            return false;
        }
    }
    return false;
}

// The states of a line from `i` on; false (the line is dropped, as git
// drops it) when a name is not valid, or memory ran out (*memory).
bool parse_states(GitNames* g, ArenaAllocator* arena, const char* s, uint64_t n, uint64_t i,
                  GitRule* r, bool* memory) {
    uint64_t count = 0;
    for (uint64_t j = skip_blank(s, n, i); j < n; j = skip_blank(s, n, skip_word(s, n, j))) ++count;
    r->states =
        count
            ? static_cast<AttrState*>(arena_allocate(arena_base(arena), count * sizeof(AttrState)))
            : nullptr;
    if (count && !r->states) return !(*memory = true);
    r->state_count = 0;
    for (uint64_t j = skip_blank(s, n, i); j < n;) {
        uint64_t e = skip_word(s, n, j);
        const char* eq = static_cast<const char*>(memchr(s + j, '=', e - j));
        uint64_t name_end = eq ? static_cast<uint64_t>(eq - s) : e;
        const char* value = ATTR_SET;
        uint64_t at = j;
        if (s[at] == '-' || s[at] == '!') {
            value = s[at] == '-' ? ATTR_UNSET : ATTR_UNSPECIFIED;
            ++at;
        } else if (eq) {
            value = str_dup(arena_base(arena), eq + 1, e - name_end - 1);
            if (!value) return !(*memory = true);
        }
        if (at > name_end || !valid_attr_name(s + at, name_end - at)) return false;
        if (r->state_count >= 0xFFFF) return false;
        uint32_t id = name_id(g, s + at, name_end - at);
        if (id == UINT32_MAX) return !(*memory = true);
        r->states[r->state_count++] = AttrState{id, value};
        j = skip_blank(s, n, e);
    }
    return true;
}

} // namespace

bool git_names_init(GitNames* g) {
    *g = GitNames{};
    arena_init(&g->arena);
    if (name_id(g, "text", 4) != ATTR_TEXT || name_id(g, "eol", 3) != ATTR_EOL ||
        name_id(g, "binary", 6) != ATTR_BINARY)
        return false;
    // [attr]binary -diff -merge -text
    static AttrState states[3];
    static GitRule binary;
    uint32_t diff = name_id(g, "diff", 4), merge = name_id(g, "merge", 5);
    if (diff == UINT32_MAX || merge == UINT32_MAX) return false;
    states[0] = AttrState{diff, ATTR_UNSET};
    states[1] = AttrState{merge, ATTR_UNSET};
    states[2] = AttrState{ATTR_TEXT, ATTR_UNSET};
    binary.states = states;
    binary.state_count = 3;
    g->macros[ATTR_BINARY] = &binary;
    return true;
}

void git_names_release(GitNames* g) {
    arena_release(&g->arena);
    *g = GitNames{};
}

bool attributes_parse(ArenaAllocator* arena, GitNames* g, const char* data, uint64_t size,
                      const char* base, bool macros, GitRuleList* list) {
    *list = GitRuleList{};
    Builder b{arena, nullptr, 0, 0};
    bool memory = false;
    // git takes no line of 2,048 bytes or more.
    constexpr uint64_t kMaxLine = 2048;
    bool ok = for_each_line(data, size, [&](const char* s, uint64_t n, bool) {
        uint64_t i = skip_blank(s, n, 0);
        if (i == n || s[i] == '#' || n >= kMaxLine) return true;
        const char* pattern = s + i;
        uint64_t length = skip_word(s, n, i) - i;
        uint64_t states = i + length;
        char* unquoted = nullptr;
        if (s[i] == '"') {
            unquoted = static_cast<char*>(arena_allocate(arena_base(arena), n - i + 1));
            if (!unquoted) return !(memory = true);
            uint64_t ulength = 0, end = 0;
            if (unquote(s + i, n - i, unquoted, &ulength, &end)) {
                pattern = unquoted;
                length = ulength;
                states = i + end;
            }
        }
        static const char kMacro[] = "[attr]";
        bool is_macro = length > 6 && memcmp(pattern, kMacro, 6) == 0;
        GitRule rule{};
        if (is_macro) {
            if (!macros) return true;
            uint64_t at = skip_blank(s, n, i + 6);
            uint64_t end = skip_word(s, n, at);
            if (!valid_attr_name(s + at, end - at)) return true;
            if (!parse_states(g, arena, s, n, end, &rule, &memory)) return !memory;
            uint32_t id = name_id(g, s + at, end - at);
            GitRule* kept =
                static_cast<GitRule*>(arena_allocate(arena_base(arena), sizeof(GitRule)));
            if (id == UINT32_MAX || !kept) return !(memory = true);
            *kept = rule;
            g->macros[id] = kept;
            return true;
        }
        if (!parse_states(g, arena, s, n, states, &rule, &memory)) return !memory;
        char* copy = unquoted == pattern ? unquoted : str_dup(arena_base(arena), pattern, length);
        if (!copy) return !(memory = true);
        shape_pattern(&rule, copy, length, false);
        // A leading '!' would negate: git refuses such lines here.
        if (length && copy[0] == '!') return true;
        GitRule* r = add_rule(&b);
        if (!r) return !(memory = true);
        *r = rule;
        return true;
    });
    return ok && !memory && finish_list(&b, base, list);
}

namespace {

// The first index of [lo, hi) at which `below` turns false (it holds for
// a leading run only).
template <class Below> uint32_t first_not(uint32_t lo, uint32_t hi, Below below) {
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (below(mid))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// The last entry of keys[lo, hi) (one hash, ascending rules) whose rule is
// below `before`; -1 when none.
int64_t last_below(const RuleKey* keys, uint32_t lo, uint32_t hi, uint32_t before) {
    return int64_t{first_not(lo, hi, [&](uint32_t m) { return keys[m].rule < before; })} - 1;
}

// The range of keys holding `hash`.
void key_range(const RuleKey* keys, uint32_t n, uint64_t hash, uint32_t* lo, uint32_t* hi) {
    uint32_t a = first_not(0, n, [&](uint32_t m) { return keys[m].hash < hash; });
    uint32_t c = a;
    while (c < n && keys[c].hash == hash) ++c;
    *lo = a;
    *hi = c;
}

GitMatch answer(bool matched) {
    return matched ? GIT_MATCH : GIT_NO_MATCH;
}

GitMatch rule_matches(const GitRuleList* list, const GitRule& r, const char* path, uint64_t length,
                      uint64_t name, bool folder, bool fold) {
    if ((r.flags & GIT_FOLDER) && !folder) return GIT_NO_MATCH;
    if (r.flags & GIT_NAME) {
        const char* s = path + name;
        uint64_t n = length - name;
        if (r.flags & GIT_LITERAL)
            return answer(n == r.length && same_bytes(s, r.pattern, n, fold));
        if (r.flags & GIT_SUFFIX)
            return answer(n >= r.length - 1 &&
                          same_bytes(s + n - (r.length - 1), r.pattern + 1, r.length - 1, fold));
        return git_wildmatch(r.pattern, r.length, s, n, fold);
    }
    // Anchored to the list's folder.
    uint64_t b = list->base_length;
    if (length <= b || !same_bytes(path, list->base, b, fold)) return GIT_NO_MATCH;
    const char* s = path + b;
    uint64_t n = length - b;
    uint64_t plain = r.literal_prefix;
    if (plain > n || !same_bytes(s, r.pattern, plain, fold)) return GIT_NO_MATCH;
    if (r.flags & GIT_LITERAL) return answer(n == plain);
    return git_wildmatch(r.pattern + plain, r.length - plain, s + plain, n - plain, fold);
}

} // namespace

int64_t rules_last_match(const GitRuleList* list, const char* path, uint64_t length, uint64_t name,
                         bool folder, bool fold, uint32_t before) {
    if (list->count == 0) return -1;
    const char* s = path + name;
    uint64_t n = length - name;
    uint32_t name_lo = 0, name_hi = 0, suffix_lo = 0, suffix_hi = 0;
    key_range(list->names, list->name_count, hash_bytes(s, n, true), &name_lo, &name_hi);
    int64_t dot = last_dot(s, n);
    if (dot >= 0) {
        uint64_t at = static_cast<uint64_t>(dot) + 1;
        key_range(list->suffixes, list->suffix_count, hash_bytes(s + at, n - at, true), &suffix_lo,
                  &suffix_hi);
    }
    // The three sources, each ascending, walked down together.
    int64_t ni = last_below(list->names, name_lo, name_hi, before);
    int64_t si = last_below(list->suffixes, suffix_lo, suffix_hi, before);
    const uint32_t* general = list->general;
    int64_t gi = int64_t{first_not(0, list->general_count,
                                   [&](uint32_t m) { return general[m] < before; })} -
                 1;
    for (;;) {
        int64_t best = -1;
        int which = -1;
        if (ni >= static_cast<int64_t>(name_lo) && int64_t(list->names[ni].rule) > best)
            best = list->names[ni].rule, which = 0;
        if (si >= static_cast<int64_t>(suffix_lo) && int64_t(list->suffixes[si].rule) > best)
            best = list->suffixes[si].rule, which = 1;
        if (gi >= 0 && int64_t(list->general[gi]) > best) best = list->general[gi], which = 2;
        if (which < 0) return -1;
        if (which == 0)
            --ni;
        else if (which == 1)
            --si;
        else
            --gi;
        GitMatch m = rule_matches(list, list->rules[best], path, length, name, folder, fold);
        if (m == GIT_NO_MEMORY) return RULES_NO_MEMORY;
        if (m == GIT_MATCH) return best;
    }
}

bool attr_query_begin(AttrQuery* q, const GitNames* names) {
    q->names = names;
    if (q->capacity < names->count) {
        uint32_t capacity = names->count + 16;
        auto values = static_cast<const char**>(mem_malloc(capacity * sizeof(char*)));
        if (!values) return false;
        mem_free(q->values);
        q->values = values;
        q->capacity = capacity;
    }
    memset(q->values, 0, q->capacity * sizeof(char*));
    q->open = 2;
    q->out_of_memory = false;
    return true;
}

void attr_query_release(AttrQuery* q) {
    mem_free(q->values);
    *q = AttrQuery{};
}

namespace {

// Takes a line's states, last first; a macro set here sets its own states.
void fill_states(AttrQuery* q, const GitRule& r, uint32_t depth) {
    for (uint32_t i = r.state_count; i-- > 0 && q->open > 0;) {
        const AttrState& s = r.states[i];
        if (s.name >= q->capacity || q->values[s.name]) continue;
        q->values[s.name] = s.value;
        if (s.name == ATTR_TEXT || s.name == ATTR_EOL) --q->open;
        const GitRule* macro = s.name < q->names->count ? q->names->macros[s.name] : nullptr;
        // Macros that name themselves, however deep, stop at a depth no file needs.
        if (macro && s.value == ATTR_SET && depth < 64) fill_states(q, *macro, depth + 1);
    }
}

} // namespace

bool attr_query_offer(AttrQuery* q, const GitRuleList* list, const char* path, uint64_t length,
                      uint64_t name, bool fold) {
    uint32_t before = list->count;
    while (q->open > 0) {
        int64_t hit = rules_last_match(list, path, length, name, false, fold, before);
        if (hit == RULES_NO_MEMORY) return q->out_of_memory = true;
        if (hit < 0) break;
        fill_states(q, list->rules[hit], 0);
        before = static_cast<uint32_t>(hit);
    }
    return q->open == 0;
}
