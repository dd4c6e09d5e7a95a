// What a git repository declares about its files, read and matched as git
// itself reads them: the lines of .gitignore files (and of the exclude
// files), the lines of .gitattributes files, and git's wildcard match.
//
// Paths here are relative to the top of the work tree, with '/' between
// names and no closing '/'; a list's `base` is the folder its file lies in,
// relative to the top ("" for the top itself, else "a/b/").
#pragma once

#include "base/alloc.h"

#include <cstdint>

// git's wildcard match (the whole of `text`): `*` is any run without '/',
// `?` one byte other than '/', `[...]` one byte of a set (never '/'), `\`
// makes the next byte plain; "**" with a '/' or an end on both sides is any
// run at all, and "**/" may also stand for no folder. With `fold`, ASCII
// case does not matter. Time is the product of the lengths at worst; a long
// pattern takes the heap, and the answer may be that memory ran out.
enum GitMatch { GIT_NO_MATCH, GIT_MATCH, GIT_NO_MEMORY };
GitMatch git_wildmatch(const char* pattern, uint64_t pattern_length, const char* text,
                       uint64_t text_length, bool fold);

enum : uint8_t {
    GIT_NEGATED = 0x01, // "!": a match re-includes (ignore rules only)
    GIT_FOLDER = 0x02,  // a closing "/": matches folders only
    GIT_NAME = 0x04,    // no '/': matched against the last name, at any depth
    GIT_LITERAL = 0x08, // no wildcard: compared as it stands
    GIT_SUFFIX = 0x10,  // "*" and a literal: the name's end is compared
};

// An attribute's state on a line. Values other than the three marks are
// strings (`eol=lf` holds "lf").
extern const char* const ATTR_SET;         // "text"
extern const char* const ATTR_UNSET;       // "-text"
extern const char* const ATTR_UNSPECIFIED; // "!text", or no line says
struct AttrState {
    uint32_t name; // an id from GitNames
    const char* value;
};

struct GitRule {
    const char* pattern; // without "!", a leading '/' or a closing '/'
    uint32_t length;
    uint32_t literal_prefix; // bytes before the first wildcard
    uint8_t flags;
    uint16_t state_count;
    AttrState* states; // attribute lines: the line's states, in line order
};

// A hash of a name (or a suffix), and the rule it may select.
struct RuleKey {
    uint64_t hash;
    uint32_t rule;
};

// One file's rules in line order, with indexes that find the rules which
// could match a path without trying every one: literal names by hash,
// "*.ext" patterns by their last extension, everything else in a list.
struct GitRuleList {
    const char* base;
    uint32_t base_length;
    GitRule* rules;
    uint32_t count;
    RuleKey* names;
    uint32_t name_count;
    RuleKey* suffixes;
    uint32_t suffix_count;
    uint32_t* general;
    uint32_t general_count;
};

// Attribute names met so far, as ids; the ids of "text", "eol" and the
// built-in macro "binary" are fixed. A macro's states (null for a name
// that is no macro) come from the highest-precedence definition.
constexpr uint32_t ATTR_TEXT = 0;
constexpr uint32_t ATTR_EOL = 1;
constexpr uint32_t ATTR_BINARY = 2;
struct GitNames {
    ArenaAllocator arena;
    const char** names;
    uint32_t* lengths;
    const GitRule** macros; // per id: its definition, or null
    uint32_t count;
    uint32_t capacity;
};
// False when memory ran out.
bool git_names_init(GitNames* names);
void git_names_release(GitNames* names);

// Reads a .gitignore or exclude file's bytes into `list` (from `arena`,
// which must outlive it). False when memory ran out.
bool ignore_parse(ArenaAllocator* arena, const char* data, uint64_t size, const char* base,
                  GitRuleList* list);
// Reads a .gitattributes file's bytes. Macro definitions are taken where
// `macros` is true (the files git takes them from) and recorded in `names`
// (a later one replaces an earlier: read the files lowest precedence first).
bool attributes_parse(ArenaAllocator* arena, GitNames* names, const char* data, uint64_t size,
                      const char* base, bool macros, GitRuleList* list);

// The index of the last rule before `before` whose pattern matches `path`
// (see the top), -1 when none does, or RULES_NO_MEMORY when memory ran out
// before that was known. `name` is where the last name starts in `path`.
constexpr int64_t RULES_NO_MEMORY = -2;
int64_t rules_last_match(const GitRuleList* list, const char* path, uint64_t length, uint64_t name,
                         bool folder, bool fold, uint32_t before);

// Attribute resolution for one path, as git fills a path's attributes:
// lists are offered highest precedence first, each line's states taken
// last first; a state counts only while its attribute is still undecided,
// and a macro set on a line sets its own states the same way.
struct AttrQuery {
    const GitNames* names;
    const char** values; // per id; null while undecided
    uint32_t capacity;
    uint32_t open;      // "text" and "eol" not yet decided
    bool out_of_memory; // a match could not be told: the values say nothing
};
// Prepares `q` for a new path (values from mem_malloc, kept across paths;
// release with attr_query_release). False when memory ran out.
bool attr_query_begin(AttrQuery* q, const GitNames* names);
void attr_query_release(AttrQuery* q);
// Offers one list's matching lines; true once "text" and "eol" are decided,
// or memory ran out (q->out_of_memory).
bool attr_query_offer(AttrQuery* q, const GitRuleList* list, const char* path, uint64_t length,
                      uint64_t name, bool fold);
