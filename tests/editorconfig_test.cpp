#include "app/editorconfig.h"
#include "base/test_control.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

bool match(const std::string& glob, const std::string& path) {
    return ec_glob_match(glob.data(), glob.size(), path.data(), path.size()) == EC_MATCH;
}

// Globs built to make a backtracking matcher take exponential time, and
// braces nested past any real file: each answer comes, and is right.
TEST(EditorConfig, GlobsStayPolynomial) {
    auto nest = [](int depth) {
        std::string open = "{a", close = "}";
        for (int i = 0; i < depth; ++i) {
            open += ",{b" + std::to_string(i);
            close += "}";
        }
        return open + close;
    };
    // The innermost "{b199}" holds no comma: its braces are plain bytes.
    EXPECT_TRUE(match(nest(200), "b198"));
    EXPECT_TRUE(match(nest(200), "{b199}"));
    EXPECT_FALSE(match(nest(200), "b199"));
    // Deeper than 256 the braces are plain bytes too: no stack is spent on them.
    EXPECT_TRUE(match(nest(600), "a"));
    EXPECT_TRUE(match(nest(600), "b254"));
    EXPECT_FALSE(match(nest(600), "b300"));
    std::string stars;
    for (int i = 0; i < 200; ++i) stars += "*a";
    EXPECT_FALSE(match(stars + "b", std::string(2000, 'a')));
    EXPECT_TRUE(match(stars, std::string(2000, 'a')));
    std::string globstars;
    for (int i = 0; i < 100; ++i) globstars += "**/";
    // Each "/**/" stands for at least one '/', as the C core reads it.
    EXPECT_FALSE(match(globstars + "x", "a/b/c/x"));
    EXPECT_TRUE(match("a/**/**/x", "a/b/c/x"));
}

// Each glob here ends in something other than a plain byte; the paths that
// match end in every way one can, so a wrong quick test of the last byte
// fails one of them.
TEST(EditorConfig, MatchesEndingInEveryKindOfPiece) {
    struct Case {
        const char* glob;
        const char* path;
        bool match;
    } cases[] = {
        {"*.{c,}", "f.", true},
        {"*.{c,}", "f.c", true},
        {"*.{c,}", "f.h", false},
        {"a{,x}", "a", true},
        {"a{,x}", "ax", true},
        {"t{1..12}", "t12", true},
        {"t{1..12}", "t13", false},
        {"t{-3..3}", "t-2", true},
        {"*.[ch]", "f.h", true},
        {"*.[!ch]", "f.x", true},
        {"*.[!ch]", "f.c", false},
        {"*\\*", "a*", true},
        {"*?", "\xc3\xa9", true},
        {"*.\xc3\xa9", "f.\xc3\xa9", true},
        {"*.\xc3\xa9", "f.\xc3\xa8", false},
        {"*", "a/b", true},
        {"**", "a/b/", true},
        {"a/**", "a/b", true},
        {"*.{md,{txt,log}}", "x.log", true},
        {"*.{md,{txt,log}}", "x.lo", false},
        // A star takes whole characters: a set after it starts on one.
        {"*[!\xc3\xa9]", "a\xc3\xa9", false},
        {"a*[!\xc3\xa9]", "a\xc3\xa9", false},
        {"*[!\xc3\xa9]",
         "\xc3\xa9"
         "a",
         true},
        {"**?", "x/\xe4\xb8\xad", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(match(c.glob, c.path), c.match) << c.glob << " " << c.path;
}

// Memory that runs out at any heap call, once or for good, while a file is
// parsed and its sections matched is said; it never crashes and never gives
// another answer. A path longer than the matcher's stack scratch takes the
// heap too.
TEST(EditorConfig, MemoryThatRunsOutIsSaid) {
    const std::string text = "root = true\n[*]\nend_of_line = lf\n[{a,b}/**/c.{txt,md}]\n"
                             "charset = utf-8-bom\n[**/*.[ch]]\nend_of_line = crlf\n[t{1..9}*]\n"
                             "k = v\n";
    const std::string paths[] = {"a/x/y/c.txt", "b/" + std::string(600, 'd') + "/c.md", "t3/q.h"};
    // The properties as "key=value;" for every path, or "" when memory ran out.
    auto resolve = [&](uint64_t fail, bool sticky) {
        ArenaAllocator arena;
        arena_init(&arena);
        mem_fail_at(fail, sticky);
        std::string out;
        EcFile f;
        bool ok = ec_parse(&arena, text.data(), text.size(), &f);
        for (const std::string& path : paths) {
            EcProperties p;
            ec_properties_init(&p);
            ok = ok && ec_apply(&p, &f, path.data(), path.size());
            for (uint32_t i = 0; ok && i < p.count; ++i)
                out += std::string(p.items[i].key) + "=" + p.items[i].value + ";";
            ec_properties_release(&p);
        }
        mem_fail_at(0);
        arena_release(&arena);
        return ok ? out : std::string();
    };
    const uint64_t start = mem_call_count();
    const std::string whole = resolve(0, false);
    const uint64_t calls = mem_call_count() - start;
    ASSERT_GT(calls, 10u);
    ASSERT_NE(whole.find("charset=utf-8-bom;"), std::string::npos) << whole;
    for (bool sticky : {false, true})
        for (uint64_t n = 1; n <= calls; ++n) {
            std::string got = resolve(n, sticky);
            EXPECT_TRUE(got.empty() || got == whole) << n << " " << sticky << " " << got;
        }
}

// Lines over the limits, or of no known shape, end what is taken of a file.
TEST(EditorConfig, BadLinesEndTheFile) {
    struct Case {
        std::string text;
        uint32_t bad_line;
        uint32_t sections;
    } cases[] = {
        {"root = true\n[*]\nend_of_line = lf\n", 0, 1},
        {"[*]\nno equals sign\n[*.c]\nk=v\n", 2, 1},
        {"[*]\n[unclosed\n[*.c]\n", 2, 1},
        {"[*]\n" + std::string(1025, 'k') + "=v\n", 2, 1},
        {"[*]\nk=" + std::string(4097, 'v') + "\n", 2, 1},
        {"[" + std::string(4097, 's') + "]\n", 1, 0},
        {"[*]\n =v\n", 2, 1},
    };
    for (const Case& c : cases) {
        ArenaAllocator arena;
        arena_init(&arena);
        EcFile f;
        ASSERT_TRUE(ec_parse(&arena, c.text.data(), c.text.size(), &f));
        EXPECT_EQ(f.bad_line, c.bad_line) << c.text.substr(0, 40);
        EXPECT_EQ(f.count, c.sections) << c.text.substr(0, 40);
        arena_release(&arena);
    }
}

} // namespace
