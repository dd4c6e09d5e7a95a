#include "base/fold.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

// The data file the tables were generated from, read from the source tree.
std::string data_path() {
    std::string p = EOL_SOURCE_DIR "/tools/CaseFolding-5.0.0.txt";
#ifdef _WIN32
    // Wine maps the POSIX root to drive Z:.
    if (!p.empty() && p[0] == '/') {
        p = "Z:" + p;
        for (char& c : p)
            if (c == '/') c = '\\';
    }
#endif
    return p;
}

std::map<uint32_t, uint32_t> read_simple_foldings() {
    std::map<uint32_t, uint32_t> folds;
    FILE* f = fopen(data_path().c_str(), "r");
    if (!f) return folds;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        unsigned from = 0, to = 0;
        char status = 0;
        if (line[0] == '#') continue;
        if (sscanf(line, "%x; %c; %x;", &from, &status, &to) != 3) continue;
        if (status == 'C' || status == 'S') folds[from] = to;
    }
    fclose(f);
    return folds;
}

TEST(Fold, EveryFoldingOfTheDataFileAndNothingElse) {
    std::map<uint32_t, uint32_t> folds = read_simple_foldings();
    ASSERT_EQ(folds.size(), 934u) << "cannot read " << data_path();
    uint32_t changed = 0;
    for (uint32_t c = 0; c <= 0x10FFFF; ++c) {
        auto it = folds.find(c);
        uint32_t want = it == folds.end() ? c : it->second;
        ASSERT_EQ(case_fold(c), want) << std::hex << "U+" << c;
        if (case_fold(c) != c) ++changed;
    }
    EXPECT_EQ(changed, 934u);
}

TEST(Fold, TableShapes) {
    EXPECT_EQ(sizeof(fold_delta_table), 2048u);
    EXPECT_EQ(sizeof(fold_pairs_16), (451u + 30u) * 4u);
    EXPECT_EQ(sizeof(fold_pairs_32), (40u + 9u) * 8u);
    EXPECT_EQ(fold_delta_table['A'], 64);
    EXPECT_EQ(fold_delta_table['a'], 32);
    EXPECT_EQ(fold_delta_table[0x100], 33); // folds to its successor
    EXPECT_EQ(fold_delta_table[0xB5], 255);
    EXPECT_EQ(fold_pairs_16[0][0], 0xB5);
    for (uint32_t i = 1; i < FOLD_PAIRS16_COUNT; ++i)
        EXPECT_LT(fold_pairs_16[i - 1][0], fold_pairs_16[i][0]);
    for (uint32_t i = FOLD_PAIRS16_COUNT; i < FOLD_PAIRS16_COUNT + FOLD_PAIRS16_SENTINELS; ++i)
        EXPECT_EQ(fold_pairs_16[i][0], 0xFFFF);
    EXPECT_EQ(fold_pairs_32[0][0], 0x10400u);
    EXPECT_EQ(fold_pairs_32[39][1], 0x1044Fu);
    for (uint32_t i = FOLD_PAIRS32_COUNT; i < FOLD_PAIRS32_COUNT + FOLD_PAIRS32_SENTINELS; ++i)
        EXPECT_EQ(fold_pairs_32[i][0], 0xFFFFFFFFu);
}

TEST(Fold, NamedCodePoints) {
    const struct {
        uint32_t from, to;
    } cases[] = {
        {'A', 'a'},         {'z', 'z'},         {0xB5, 0x3BC},        {0x3C2, 0x3C3},
        {0x1E9B, 0x1E61},   {0x2126, 0x3C9},    {0x212A, 'k'},        {0x130, 0x130},
        {0x131, 0x131},     {0xDF, 0xDF},       {0x370, 0x370},       {0x1E9E, 0x1E9E},
        {0xA640, 0xA640},   {0xFFFF, 0xFFFF},   {0xFF21, 0xFF41},     {0x10400, 0x10428},
        {0x10427, 0x1044F}, {0x10428, 0x10428}, {0x10FFFF, 0x10FFFF}, {0xFFFFFFFF, 0xFFFFFFFF},
    };
    for (const auto& c : cases) EXPECT_EQ(case_fold(c.from), c.to) << std::hex << c.from;
}

TEST(Fold, NextFoldedDecodesFoldsAndFlagsMalformedBytes) {
    const char s[] = "A\xCE\xA3\xE2\x84\xAA\xF0\x90\x90\x80\x80\xF8";
    const uint64_t n = sizeof s - 1;
    uint64_t pos = 0;
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), uint32_t('a'));
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), 0x3C3u); // capital sigma
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), uint32_t('k'));
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), 0x10428u);
    EXPECT_EQ(pos, 10u);
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), 0xFFFFFFFFu); // stray continuation
    EXPECT_EQ(pos, 11u);
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), 0xFFFFFFFFu); // 0xF8
    EXPECT_EQ(pos, 12u);
    EXPECT_EQ(utf8_next_folded(s, n, pos, &pos), 0u);
    EXPECT_EQ(pos, 12u);
    // A sequence cut by the length advances one byte.
    EXPECT_EQ(utf8_next_folded("\xCE\xA3", 1, 0, &pos), 0xFFFFFFFFu);
    EXPECT_EQ(pos, 1u);
}

TEST(Fold, Comparisons) {
    const struct {
        const char* a;
        const char* b;
        int folded, exact;
    } cases[] = {
        {"Readme.TXT", "readme.txt", 0, -1},
        {"a", "ab", -1, -1},
        {"ab", "a", 1, 1},
        {"_", "B", -1, 1},
        {"", "", 0, 0},
        {"\xCF\x82", "\xCF\x83", 0, -1}, // final sigma, sigma
        {"\xE2\x84\xAA", "k", 0, 1},     // Kelvin sign
        {"\xC3\x9F", "ss", 1, 1},        // sharp s is no "ss"
        {"\xC4\xB0", "i", 1, 1},         // capital I with dot above
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8", 0, -1},
        {"a\x80", "a\xF4\x8F\xBF\xBF", 1, 1}, // malformed sorts after U+10FFFF
        {"a\xFF", "a\xEF\xBF\xBF", 1, 1},
        {"\xC3", "\xC3\xA9", 1, 1}, // cut short
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compare_folded(c.a, c.b), c.folded) << c.a << " / " << c.b;
        EXPECT_EQ(compare_exact(c.a, c.b), c.exact) << c.a << " / " << c.b;
        EXPECT_EQ(compare_folded(c.b, c.a), -c.folded) << c.b << " / " << c.a;
        EXPECT_EQ(compare_exact(c.b, c.a), -c.exact) << c.b << " / " << c.a;
    }
}

TEST(Fold, LengthsAndNullStrings) {
    EXPECT_EQ(compare_folded(nullptr, ""), 0);
    EXPECT_EQ(compare_exact("", nullptr), 0);
    EXPECT_EQ(compare_folded(nullptr, "a"), -1);
    EXPECT_EQ(compare_exact("a", 1, nullptr, 5), 1);
    // Lengths cut the texts; all ones reads to the NUL.
    EXPECT_EQ(compare_folded("ABCx", 3, "abcy", 3), 0);
    EXPECT_EQ(compare_exact("abcx", 3, "abcy", ~0ull), -1);
    EXPECT_EQ(compare_folded("C:", 2, "c:\\work", 2), 0);
    // A NUL inside the length ends the text.
    EXPECT_EQ(compare_exact("ab\0x", 4, "ab\0y", 4), 0);
}

} // namespace
