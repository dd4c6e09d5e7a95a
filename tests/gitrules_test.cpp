#include "app/gitrules.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

bool wm(const char* pattern, const char* text, bool fold = false) {
    return git_wildmatch(pattern, strlen(pattern), text, strlen(text), fold) == GIT_MATCH;
}

// git's wildcard rules, a case per corner; the generated repositories of
// the end-to-end suite check the same against git itself.
TEST(GitRules, Wildmatch) {
    struct Case {
        const char* pattern;
        const char* text;
        bool match;
        bool fold;
    } cases[] = {
        {"*.txt", "a.txt", true, false},
        {"*.txt", "a/b.txt", false, false}, // '*' stops at '/'
        {"a?c", "abc", true, false},
        {"a?c", "a/c", false, false},
        {"?.md", "\xC3\xA9.md", false, false}, // '?' is one byte
        {"**", "a/b/c", true, false},
        {"**/c", "c", true, false},
        {"**/c", "a/b/c", true, false},
        {"a/**/b", "a/b", true, false},
        {"a/**/b", "a/x/y/b", true, false},
        {"a/**/b", "a/xb", false, false},
        {"a/**", "a/x/y", true, false},
        {"a/**", "a", false, false},
        {"a**b", "axxb", true, false},
        {"a**b", "a/b", false, false}, // "**" not between slashes is '*'
        {"**\\/c", "x/c", true, false},
        {"**\\/c", "c", false, false}, // an escaped '/' may not stand for no folder
        {"[abc]", "b", true, false},
        {"[!abc]", "b", false, false},
        {"[^abc]", "d", true, false},
        {"[a-c]x", "bx", true, false},
        {"[]]", "]", true, false},
        {"[!]]", "a", true, false},
        {"[a-]", "-", true, false},
        {"[[:digit:]]*", "7up", true, false},
        {"[[:alpha:][:digit:]]", "_", false, false},
        {"[[:bogus:]]", "b", false, false}, // an unknown class matches nothing
        {"[[:a]", ":", true, false},        // no ":]": plain members
        {"[abc", "[abc", false, false},     // a set that never closes
        {"[/]", "/", false, false},         // a set never holds '/'
        {"a\\*", "a*", true, false},
        {"a\\*", "ab", false, false},
        {"a\\", "a", false, false}, // a closing '\' matches nothing
        {"a\\", "a\\", false, false},
        {"*", "", true, false},
        {"", "", true, false},
        {"A.TXT", "a.txt", true, true},
        {"A.TXT", "a.txt", false, false},
        {"[A-C]", "b", true, true},
        {"*[[:upper:]]", "xy", true, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wm(c.pattern, c.text, c.fold), c.match) << c.pattern << " ~ " << c.text;
    // A long pattern against a long name stays polynomial (no backtracking).
    std::string pattern, text(3000, 'a');
    for (int i = 0; i < 300; ++i) pattern += "*a";
    pattern += "b";
    EXPECT_EQ(git_wildmatch(pattern.data(), pattern.size(), text.data(), text.size(), false),
              GIT_NO_MATCH);
}

struct Lines {
    ArenaAllocator arena;
    GitNames names;
    GitRuleList list;
    Lines() {
        arena_init(&arena);
        git_names_init(&names);
    }
    ~Lines() {
        git_names_release(&names);
        arena_release(&arena);
    }
};

// The last matching line decides; names, suffixes and the rest come from
// three indexes that must together give exactly the order of the file.
TEST(GitRules, IgnoreLines) {
    const char text[] = "\xEF\xBB\xBF*.o\n"
                        "# comment\n"
                        "build/\n"
                        "!keep.o\n"
                        "trailing   \n"
                        "escaped\\ \n"
                        "crlf\r\n"
                        "/anchored\n"
                        "doc/*.html\n"
                        "\\#hash\n"
                        "\\!bang\n"
                        "*.tar.gz\n"
                        "KEEP.O\n";
    Lines l;
    ASSERT_TRUE(ignore_parse(&l.arena, text, sizeof text - 1, "sub/", &l.list));
    struct Case {
        const char* path;
        bool folder;
        int64_t rule; // the line that decides, counted among the rules; -1 none
    } cases[] = {
        {"sub/x.o", false, 0},        {"sub/deep/keep.o", false, 2},
        {"sub/build", true, 1},       {"sub/build", false, -1},
        {"sub/trailing", false, 3},   {"sub/escaped ", false, 4},
        {"sub/escaped", false, -1},   {"sub/crlf", false, 5},
        {"sub/anchored", false, 6},   {"sub/a/anchored", false, -1},
        {"sub/doc/x.html", false, 7}, {"sub/a/doc/x.html", false, -1},
        {"sub/#hash", false, 8},      {"sub/!bang", false, 9},
        {"sub/a.tar.gz", false, 10},  {"sub/a.gz", false, -1},
        {"sub/KEEP.O", false, 11},    {"other/anchored", false, -1},
    };
    for (const Case& c : cases) {
        uint64_t n = strlen(c.path), name = n;
        while (name > 0 && c.path[name - 1] != '/') --name;
        EXPECT_EQ(rules_last_match(&l.list, c.path, n, name, c.folder, false, l.list.count), c.rule)
            << c.path;
    }
    EXPECT_TRUE(l.list.rules[2].flags & GIT_NEGATED);
    // Folded, "KEEP.O" is the last line that matches keep.o.
    EXPECT_EQ(rules_last_match(&l.list, "sub/keep.o", 10, 4, false, true, l.list.count), 11);
}

// Attributes: the last line wins per attribute, a set macro sets its own
// states, and a later "text" outranks an earlier "binary".
TEST(GitRules, AttributeLines) {
    const char top[] = "[attr]crlfish eol=crlf\n"
                       "* text=auto eol=lf\n"
                       "*.bat crlfish\n"
                       "*.png binary\n"
                       "\"with space.txt\" -text\n"
                       "!neg -text\n"
                       "*.bad bad@name\n"
                       "keep.png text\n"
                       "dir/ -text\n";
    Lines l;
    ASSERT_TRUE(attributes_parse(&l.arena, &l.names, top, sizeof top - 1, "", true, &l.list));
    struct Case {
        const char* path;
        const char* text;
        const char* eol;
    } cases[] = {
        {"a.c", "auto", "lf"},
        {"x/run.bat", "auto", "crlf"},
        {"p.png", ATTR_UNSET, "lf"},
        {"keep.png", ATTR_SET, "lf"},
        {"with space.txt", ATTR_UNSET, "lf"},
        {"neg", "auto", "lf"},
        {"x.bad", "auto", "lf"},
        {"dir", "auto", "lf"},
    };
    AttrQuery q{};
    for (const Case& c : cases) {
        uint64_t n = strlen(c.path), name = n;
        while (name > 0 && c.path[name - 1] != '/') --name;
        ASSERT_TRUE(attr_query_begin(&q, &l.names));
        attr_query_offer(&q, &l.list, c.path, n, name, false);
        auto shown = [](const char* v) { return std::string(v ? v : "(none)"); };
        EXPECT_EQ(shown(q.values[ATTR_TEXT]), shown(c.text)) << c.path;
        EXPECT_EQ(shown(q.values[ATTR_EOL]), shown(c.eol)) << c.path;
    }
    attr_query_release(&q);
    // A macro defined below the top is not taken.
    const char sub[] = "[attr]crlfish -text\n";
    GitRuleList list;
    ASSERT_TRUE(attributes_parse(&l.arena, &l.names, sub, sizeof sub - 1, "d/", false, &list));
    EXPECT_EQ(list.count, 0u);
}

} // namespace
