#include "base/filter.h"
#include "base/test_control.h"

#include "base/alloc.h"
#include "tests/wild_reference.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// A prepared filter list, asked with paths written like "a\b.cpp".
struct Filters {
    ArenaAllocator arena;
    std::vector<const char*> stored;

    explicit Filters(std::vector<const char*> args) {
        arena_init(&arena);
        ArenaAllocator scratch;
        arena_init(&scratch);
        for (const char* a : args) {
            const char* f = filter_prepare(arena_base(&scratch), arena_base(&arena), a);
            EXPECT_NE(f, nullptr) << a;
            stored.push_back(f);
        }
        arena_release(&scratch);
    }
    ~Filters() { arena_release(&arena); }

    bool includes(const std::string& path) const {
        return filter_includes(stored.data(), stored.size(), (path + "\\").c_str());
    }
    bool descends(const std::string& folder) const {
        return filter_descends(stored.data(), stored.size(), (folder + "\\").c_str(),
                               (folder + "\\**").c_str());
    }
};

std::string stored_form(const char* filter) {
    Filters f({filter});
    return f.stored[0] ? f.stored[0] : "(null)";
}

TEST(Filter, StoredForms) {
    struct {
        const char* filter;
        const char* stored;
    } cases[] = {
        {"-**.sh", "-**.sh\\**"},
        {"+**.cpp", "+**.cpp\\**"},
        {"-samples/**", "-samples\\**\\**"},
        {"-samples\\**", "-samples\\**\\**"},
        {"-\\samples\\**", "-samples\\**\\**"},
        {"-//samples/**", "-samples\\**\\**"},
        {"*.txt", "+*.txt\\**"},
        {"+/src/", "+src\\**"},
        {"-a//b/./c/../d", "-a\\b\\d\\**"},
        {"+**", "+**\\**"},
        {"+", "+\\**"},
        {"-/", "-\\**"},
        {"", "+\\**"},
    };
    for (const auto& c : cases) EXPECT_EQ(stored_form(c.filter), c.stored) << c.filter;
}

TEST(Filter, PreparationRunsOutOfMemory) {
    ArenaAllocator scratch, result;
    arena_init(&scratch);
    arena_init(&result);
    // The result arena's block is the last allocation made.
    bool failed_once = false;
    for (uint64_t n = 1; n < 10; ++n) {
        mem_fail_at(n, true);
        char* f = filter_prepare(arena_base(&scratch), arena_base(&result), "+src/**/*.h");
        mem_fail_at(0);
        if (f == nullptr) {
            failed_once = true;
        } else if (scratch.failures == 0) {
            EXPECT_STREQ(f, "+src\\**\\*.h\\**");
            break;
        }
        // A failed normalisation is counted by the scratch arena, so the
        // caller can tell it from an empty filter.
        EXPECT_TRUE(f == nullptr || scratch.failures != 0) << n;
        arena_release(&scratch);
        arena_release(&result);
        arena_init(&scratch);
        arena_init(&result);
    }
    EXPECT_TRUE(failed_once);
    arena_release(&scratch);
    arena_release(&result);
}

struct Probe {
    const char* path;
    bool included;
};

void expect_includes(const Filters& f, std::initializer_list<Probe> probes) {
    for (const Probe& p : probes) EXPECT_EQ(f.includes(p.path), p.included) << p.path;
}
void expect_descends(const Filters& f, std::initializer_list<Probe> probes) {
    for (const Probe& p : probes) EXPECT_EQ(f.descends(p.path), p.included) << p.path;
}

TEST(Filter, HelpExample) {
    Filters f({"-**.sh", "+**.cpp", "-samples/**"});
    expect_includes(f, {{"run.sh", false},
                        {"readme.txt", true},
                        {"a\\b.cpp", true},
                        {"samples\\c.cpp", false},
                        {"samples", false},
                        {"x.sh", false},
                        {"x.sh\\y.txt", false},
                        // The later + filter matches x.sh\y.cpp as well.
                        {"x.sh\\y.cpp", true}});
    expect_descends(f, {{"samples", false},
                        {"a", true},
                        // "**.cpp\**" overlaps "x.sh\**", so x.sh is entered.
                        {"x.sh", true}});
}

TEST(Filter, SingleStarStaysInOneFolder) {
    Filters f({"+*.cpp"});
    expect_includes(f, {{"a.cpp", true}, {"sub\\b.cpp", false}, {"sub", false}, {"a.h", false}});
    expect_descends(f, {{"sub", false}});
}

TEST(Filter, DoubleStarCrossesFolders) {
    Filters f({"+**.cpp"});
    expect_includes(f, {{"a.cpp", true}, {"sub\\b.cpp", true}, {"sub", false}, {"a.h", false}});
    expect_descends(f, {{"sub", true}, {"sub\\deeper", true}});
}

TEST(Filter, AFolderFilterSelectsItsContentsOnly) {
    Filters f({"+src"});
    expect_includes(f, {{"src", true},
                        {"src\\a.txt", true},
                        {"src\\x\\y", true},
                        {"src2", false},
                        {"src2\\a.txt", false},
                        {"sr", false}});
    expect_descends(f, {{"src", true}, {"src2", false}, {"other", false}});
}

TEST(Filter, DoubleStarBetweenSeparatorsMayStandForNothing) {
    Filters f({"+src/**/*.h"});
    expect_includes(f, {{"src\\a.h", true},
                        {"src\\x\\y\\b.h", true},
                        {"src\\x", false},
                        {"src\\x\\c.txt", false},
                        {"a.h", false}});
    expect_descends(f, {{"src", true}, {"src\\x", true}, {"lib", false}});
}

TEST(Filter, ALaterIncludeReopensAnExcludedFolder) {
    Filters f({"-samples/**", "+samples/keep/**"});
    expect_includes(f, {{"samples\\keep\\a.txt", true},
                        {"samples\\keep", true},
                        {"samples\\other.txt", false},
                        {"samples", false},
                        {"readme.txt", true}});
    expect_descends(f, {{"samples", true}, {"samples\\keep", true}, {"samples\\other", false}});
}

TEST(Filter, ExcludeAfterIncludeInTheRootFolderToo) {
    Filters f({"+**.cpp", "-**/test_*.cpp"});
    expect_includes(f, {{"test_a.cpp", false},
                        {"sub\\test_b.cpp", false},
                        {"a.cpp", true},
                        {"sub\\a.cpp", true},
                        {"test_a.h", false}});
}

TEST(Filter, MatchingIsCaseSensitive) {
    Filters f({"+**.CPP"});
    expect_includes(f, {{"a.cpp", false}, {"A.CPP", true}, {"sub\\b.CPP", true}});
}

TEST(Filter, StartingVerdicts) {
    Filters none({});
    expect_includes(none, {{"a", true}, {"a\\b.cpp", true}});
    expect_descends(none, {{"a", true}});

    Filters only_minus({"-*.txt", "-tmp"});
    expect_includes(only_minus, {{"a.txt", false},
                                 {"a.cpp", true},
                                 {"tmp", false},
                                 {"tmp\\x.cpp", false},
                                 {"sub\\a.txt", true}});
    expect_descends(only_minus, {{"tmp", false}, {"sub", true}});

    Filters all({"+**"});
    expect_includes(all, {{"a", true}, {"a\\b\\c.d", true}});

    // A filter with nothing left matches nothing, but still sets the
    // starting verdict.
    Filters plus({"+"});
    expect_includes(plus, {{"a", false}, {"a\\b", false}});
    expect_descends(plus, {{"a", false}});
    Filters minus({"-/"});
    expect_includes(minus, {{"a", true}, {"a\\b", true}});
}

TEST(WildMatch, Symbols) {
    struct {
        const char* pattern;
        const char* text;
        bool match;
    } cases[] = {
        {"", "", true},
        {"", "a", false},
        {"abc", "ab", false},
        {"ab", "abc", false},
        {"a/b", "a\\b", true},
        {"a\\b", "a/b", true},
        {"*", "", true},
        {"*", "abc", true},
        {"*", "a\\b", false},
        {"**", "a\\b", true},
        {"***", "a\\b\\c", true},
        {"a*c", "abbbc", true},
        {"a*c", "ab\\c", false},
        {"a**c", "ab\\c", true},
        {"a\\**\\b", "a\\b", true},
        {"a\\**\\b", "a\\x\\y\\b", true},
        {"a\\**\\b", "ab", false},
        {"?", "a", true},
        {"?", "\\", false},
        {"?", "", false},
        {"a?", "ab", true},
        {"??", "\xc3\xa9x", true}, // one code point, not one byte
        {"?", "\xc3\xa9x", false},
        {"*.txt", "\xc3\xa4.txt", true},
        {"\xc3\xa4", "\xc3\x84", false},
        {"*x", "yyx", true},
        {"*x*y", "axbxy", true},
        {"**\\x\\", "x\\", true},
        {"**\\x\\", "a\\b\\x\\", true},
        {"**\\x\\", "ax\\", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(wild_match(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
}

TEST(WildOverlap, FromBothSides) {
    struct {
        const char* a;
        const char* b;
        bool overlap;
    } cases[] = {
        {"*.cpp\\**", "sub\\**", false},
        {"**.cpp\\**", "sub\\**", true},
        {"src\\**", "src2\\**", false},
        {"src\\**", "src\\**", true},
        {"\\**", "src\\**", false},
        {"samples\\keep\\**\\**", "samples\\**", true},
        {"src\\**\\*.h\\**", "src\\x\\**", true},
        {"a?c", "abc", true},
        {"a?c", "a\\c", false},
        {"?", "?", true},
        {"?", "", false},
        {"*", "", true},
        {"*", "**", true},
        {"a*", "*b", true},
        {"a\\*", "*\\b", true},
        {"a\\*", "*\\b\\c", false},
        {"a\\*", "**\\b", true},
        {"*\\b", "a", false},
        {"**\\x", "x", true},
        {"*x", "y*", true},
        {"a*", "b*", false},
        {"a\\b", "a/b", true},
        {"*.h", "x\\**", false},
        {"**.h", "x\\**", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wild_overlap(c.a, c.b), c.overlap) << c.a << " & " << c.b;
        EXPECT_EQ(wild_overlap(c.b, c.a), c.overlap) << c.b << " & " << c.a;
    }
}

// "*c1*c2...*cN" against "c1 c2 ... c(N-1) X cN": only the last star may take
// X, so the match needs the alternative recorded by the N-th star while the
// N-1 before it are still pending.
void distinct_stars(int n, std::string* pattern, std::string* text) {
    const char* symbols = "ABCDEFGHIJKLMNOPQRSTUVWYZabcdefghijklmnopqrstuvwxyz0123456789";
    pattern->clear();
    text->clear();
    for (int i = 0; i < n; ++i) {
        *pattern += '*';
        *pattern += symbols[i];
        if (i == n - 1) *text += 'X';
        *text += symbols[i];
    }
}

// The old search kept 50 pending alternatives and silently dropped the
// rest, so a filter of more than 50 stars could miss a path it matches.
// Every alternative counts now.
TEST(WildMatch, NoAlternativeIsDroppedHoweverManyStars) {
    std::string pattern, text;
    for (int n : {50, 51, 60}) {
        distinct_stars(n, &pattern, &text);
        EXPECT_TRUE(wild_match(pattern.c_str(), text.c_str())) << n;
        EXPECT_TRUE(wild_overlap(pattern.c_str(), text.c_str())) << n;
        wild_reference::Pending capped(50);
        bool old = wild_reference::wild_match(pattern.c_str(), text.c_str(), capped);
        EXPECT_EQ(old, n <= 50) << "the old search dropped the " << n << "th";
    }
    text.erase(text.find('X'), 1);
    EXPECT_TRUE(wild_match(pattern.c_str(), text.c_str()));
    text += "\\";
    EXPECT_FALSE(wild_match(pattern.c_str(), text.c_str()));
}

// The pattern that made the old search take exponential time: each "*a"
// doubles the ways to split a run of a's. A handful of steps per state now.
TEST(WildMatch, ManyStarsAgainstALongNameAreCheap) {
    std::string pattern = "*a*a*a*a*a*a*a*a*a*ab";
    std::string text(40, 'a');
    EXPECT_FALSE(wild_match(pattern.c_str(), text.c_str()));
    EXPECT_TRUE(wild_match(pattern.c_str(), (text + "b").c_str()));
    EXPECT_FALSE(wild_overlap(pattern.c_str(), text.c_str()));
    // The old search, cut short: already far beyond polynomial.
    wild_reference::Pending slow(1000);
    std::string short_text(16, 'a');
    EXPECT_FALSE(wild_reference::wild_match(pattern.c_str(), short_text.c_str(), slow));
    EXPECT_GT(slow.steps, 100000u);
}

// Random patterns and names from the symbols that matter: the new matchers
// agree with the old search wherever it dropped nothing.
std::string random_string(std::mt19937& rng, const std::vector<const char*>& pieces, int most) {
    std::string s;
    int n = static_cast<int>(rng() % static_cast<unsigned>(most + 1));
    for (int i = 0; i < n; ++i) s += pieces[rng() % pieces.size()];
    return s;
}

TEST(WildMatch, AgreesWithTheOldSearchOnRandomInput) {
    std::mt19937 rng(20261208);
    const std::vector<const char*> pattern_pieces = {"a",  "b", "*",        "**",   "?",
                                                     "\\", "/", "\xc3\xa9", "**\\", "a"};
    const std::vector<const char*> name_pieces = {"a", "b", "\\", "/", "\xc3\xa9", "ab", "a"};
    int matches = 0;
    for (int i = 0; i < 30000; ++i) {
        std::string p = random_string(rng, pattern_pieces, 10);
        std::string t = random_string(rng, name_pieces, 12);
        wild_reference::Pending pending(1 << 20);
        bool want = wild_reference::wild_match(p.c_str(), t.c_str(), pending);
        ASSERT_EQ(pending.dropped, 0u);
        ASSERT_EQ(wild_match(p.c_str(), t.c_str()), want) << p << " ~ " << t;
        matches += want;
    }
    // Both outcomes are well represented.
    EXPECT_GT(matches, 1000);
    EXPECT_LT(matches, 29000);
}

TEST(WildOverlap, AgreesWithTheOldSearchOnRandomInput) {
    std::mt19937 rng(1921);
    const std::vector<const char*> pieces = {"a", "b", "*", "**", "?", "\\", "/", "**\\"};
    int overlaps = 0;
    for (int i = 0; i < 30000; ++i) {
        std::string x = random_string(rng, pieces, 8);
        std::string y = random_string(rng, pieces, 8);
        // Folder patterns, as the walker asks them, half of the time.
        if (i % 2) y += "\\**";
        wild_reference::Pending pending(1 << 20);
        bool want = wild_reference::wild_overlap(x.c_str(), y.c_str(), pending);
        ASSERT_EQ(pending.dropped, 0u);
        ASSERT_EQ(wild_overlap(x.c_str(), y.c_str()), want) << x << " & " << y;
        overlaps += want;
    }
    EXPECT_GT(overlaps, 3000);
    EXPECT_LT(overlaps, 27000);
}

// Any bytes at all as filters and paths: prepared, matched and compared
// without a fault (the ASan build checks every access).
TEST(Filter, RandomBytesNeverCrash) {
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        std::string raw[3];
        for (std::string& r : raw) {
            int n = static_cast<int>(rng() % 24);
            for (int k = 0; k < n; ++k) {
                unsigned c = rng() % 8 == 0 ? "*?\\/+-."[rng() % 7] : rng() % 255 + 1;
                r += static_cast<char>(c);
            }
        }
        Filters f({raw[0].c_str(), raw[1].c_str()});
        (void)f.includes(raw[2]);
        (void)f.descends(raw[2]);
        (void)wild_match(raw[0].c_str(), raw[2].c_str());
        (void)wild_overlap(raw[0].c_str(), raw[1].c_str());
    }
}

// Strings too long for the matchers' stack state still give the answer.
TEST(WildMatch, LongStringsUseTheHeap) {
    std::string pattern(40000, '*');
    pattern += "b";
    EXPECT_TRUE(wild_match(pattern.c_str(), "a\\ab"));
    EXPECT_FALSE(wild_match(pattern.c_str(), "a\\a"));
    EXPECT_TRUE(wild_overlap("**b", pattern.c_str()));
    EXPECT_FALSE(wild_overlap("**a", pattern.c_str()));
    // When the heap fails them: no match, and a folder is still entered.
    mem_fail_at(1, true);
    bool matched = wild_match(pattern.c_str(), "ab");
    bool overlap = wild_overlap("**a", pattern.c_str());
    mem_fail_at(0);
    EXPECT_FALSE(matched);
    EXPECT_TRUE(overlap);
}

} // namespace
