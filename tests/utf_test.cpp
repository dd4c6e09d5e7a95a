#include "base/utf.h"
#include "base/test_control.h"
#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string to8(const std::u16string& s) {
    uint64_t n = utf16_to_utf8(nullptr, 0, s.data(), s.size());
    std::string out(n + 1, '\0');
    EXPECT_EQ(utf16_to_utf8(out.data(), out.size(), s.data(), s.size()), n);
    out.resize(n);
    return out;
}

std::u16string to16(const std::string& s) {
    uint64_t n = utf8_to_utf16(nullptr, 0, s.data(), s.size());
    std::u16string out(n + 1, u'\0');
    EXPECT_EQ(utf8_to_utf16(out.data(), out.size(), s.data(), s.size()), n);
    out.resize(n);
    return out;
}

TEST(Utf, BmpAndAstralToUtf8) {
    std::u16string s = u"A\u00E9\u20AC\U0001F600";
    EXPECT_EQ(utf16_to_utf8(nullptr, 0, s.c_str(), TEXT_NUL), 10u);
    EXPECT_EQ(to8(s), "\x41\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(to16(to8(s)), s);
}

TEST(Utf, LoneSurrogatesAndUndecodableBytes) {
    EXPECT_EQ(to8(std::u16string(1, char16_t(0xD800))), "\xFF");
    EXPECT_EQ(to8(std::u16string(1, char16_t(0xDC00))), "\xFF");
    EXPECT_EQ(to8(std::u16string{char16_t(0xD800), u'a'}), "\xFF"
                                                           "a");
    EXPECT_EQ(to16("\xFF"), std::u16string(1, char16_t(0xFFFF)));
    // A lead byte without its continuation: one invalid unit, then go on.
    EXPECT_EQ(to16("\xC3"
                   "a"),
              (std::u16string{char16_t(0xFFFF), u'a'}));
    EXPECT_EQ(to16("\x80\xBF"), (std::u16string{char16_t(0xFFFF), char16_t(0xFFFF)}));
    // A sequence cut by the length is invalid.
    EXPECT_EQ(utf8_to_utf16(nullptr, 0, "\xE2\x82\xAC", 2), 2u);
}

TEST(Utf, OverlongNulEndsTheText) {
    EXPECT_EQ(to16(std::string("ab\xC0\x80"
                               "cd")),
              u"ab");
    uint64_t next = 0;
    EXPECT_EQ(utf8_next("\xC0\x80", 2, 0, &next), 0u);
    EXPECT_EQ(next, 2u);
}

// The shared decoder: the library reads leniently, the stand-in strictly; a
// sequence either mode refuses costs exactly one byte.
TEST(Utf, DecoderStrictAndLenient) {
    constexpr uint32_t X = UTF8_INVALID;
    struct Case {
        const char* bytes;
        uint32_t strict, lenient;
        uint64_t strict_next, lenient_next;
    } cases[] = {
        {"A", 'A', 'A', 1, 1},
        {"\xC3\xA9", 0xE9, 0xE9, 2, 2},
        {"\xF0\x9F\x98\x80", 0x1F600, 0x1F600, 4, 4},
        {"\xC0\x80", X, 0, 1, 2},                // overlong NUL
        {"\xE0\x80\xAF", X, 0x2F, 1, 3},         // overlong slash
        {"\xED\xA0\x80", X, 0xD800, 1, 3},       // surrogate
        {"\xF4\x90\x80\x80", X, 0x110000, 1, 4}, // past U+10FFFF
        {"\xF8\x88\x80\x80\x80", X, X, 1, 1},    // no five-byte forms
        {"\x80", X, X, 1, 1},                    // lone continuation
        {"\xC3", X, X, 1, 1},                    // cut by the NUL
    };
    for (const Case& c : cases) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(c.bytes);
        uint64_t next = 0;
        EXPECT_EQ(utf8_decode(b, TEXT_NUL, 0, &next, true), c.strict) << c.bytes;
        EXPECT_EQ(next, c.strict_next) << c.bytes;
        EXPECT_EQ(utf8_decode(b, TEXT_NUL, 0, &next, false), c.lenient) << c.bytes;
        EXPECT_EQ(next, c.lenient_next) << c.bytes;
    }
}

TEST(Utf, Utf16PutRange) {
    char16_t buf[4] = {1, 1, 1, 1};
    uint64_t pos = 0;
    utf16_put(buf, 4, &pos, 0x10FFFF);
    EXPECT_EQ(pos, 2u);
    EXPECT_EQ(buf[0], 0xDBFF);
    EXPECT_EQ(buf[1], 0xDFFF);
    utf16_put(buf, 4, &pos, 0x110000);
    EXPECT_EQ(buf[2], 0xFFFF);
    EXPECT_EQ(pos, 3u);
    // A pair at the edge: the high half only when p + 1 < capacity.
    char16_t edge[2] = {7, 7};
    pos = 1;
    utf16_put(edge, 2, &pos, 0x1F600);
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(edge[1], 7);
}

TEST(Utf, Utf8PutLongFormsAndCut) {
    char buf[8] = {};
    uint64_t pos = 0;
    utf8_put(buf, 8, &pos, 0x7FFFFFFE);
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xFD);
    pos = 0;
    utf8_put(buf, 8, &pos, 0xFFFFFFFF);
    EXPECT_EQ(pos, 1u);
    EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xFF);
    char small[2] = {'x', 'x'};
    pos = 0;
    utf8_put(small, 2, &pos, 0x20AC); // three bytes, two fit
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(static_cast<unsigned char>(small[0]), 0xE2);
    EXPECT_EQ(static_cast<unsigned char>(small[1]), 0x82);
}

TEST(Utf, ConversionsCutByCapacityKeepWholeCodePoints) {
    char16_t w[4];
    EXPECT_EQ(utf8_to_utf16(w, 3, "abc", TEXT_NUL), 3u);
    EXPECT_EQ(std::u16string(w), u"ab");
    // The pair does not fit with its NUL: only "a" is kept.
    EXPECT_EQ(utf8_to_utf16(w, 3, "a\xF0\x9F\x98\x80", TEXT_NUL), 3u);
    EXPECT_EQ(std::u16string(w), u"a");
    char b[4];
    EXPECT_EQ(utf16_to_utf8(b, 4, u"a\u20AC", TEXT_NUL), 4u);
    EXPECT_EQ(std::string(b), "a");
    EXPECT_EQ(utf16_to_utf8(b, 1, u"abc", TEXT_NUL), 3u);
    EXPECT_EQ(b[0], 0);
}

TEST(Utf, AllocConversionShortAndLong) {
    ArenaAllocator arena;
    arena_init(&arena);
    std::u16string longer(150, u'\u00E9');
    char* s = utf16_to_utf8_alloc(arena_base(&arena), longer.c_str(), TEXT_NUL);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(str_len(s), 300u);
    char* t = utf16_to_utf8_alloc(arena_base(&arena), u"short", TEXT_NUL);
    EXPECT_STREQ(t, "short");
    arena_release(&arena);
    mem_fail_at(1); // the fresh arena's first block
    EXPECT_EQ(utf16_to_utf8_alloc(arena_base(&arena), longer.c_str(), TEXT_NUL), nullptr);
    mem_fail_at(0);
    EXPECT_EQ(arena.failures, 1u);
}

TEST(Utf, StringOperations) {
    EXPECT_EQ(str_len(nullptr), 0u);
    EXPECT_EQ(str_len_max("abcdef", 3), 3u);
    char buf[4];
    str_copy(buf, 4, "abcdef", TEXT_NUL);
    EXPECT_STREQ(buf, "abc");
    str_copy(buf, 4, "ab", TEXT_NUL);
    EXPECT_STREQ(buf, "ab");
    str_copy(buf, 4, "abcdef", 2);
    EXPECT_STREQ(buf, "ab");
    char z[3] = {'x', 'y', 'z'};
    mem_move(z, nullptr, 3);
    EXPECT_EQ(z[0] | z[1] | z[2], 0);
    char over[] = "abcdef";
    mem_move(over + 1, over, 4);
    EXPECT_STREQ(over, "aabcdf");

    ArenaAllocator arena;
    arena_init(&arena);
    EXPECT_STREQ(str_dup(arena_base(&arena), "hello", 4), "hell");
    EXPECT_STREQ(str_dup(arena_base(&arena), nullptr, TEXT_NUL), "");
    char16_t* w = wstr_dup(arena_base(&arena), u"wide", TEXT_NUL);
    EXPECT_EQ(std::u16string(w), u"wide");
    arena_release(&arena);

    EXPECT_EQ(wstr_alloc(0), nullptr);
    char16_t* h = wstr_dup_heap(u"heap text", 4);
    EXPECT_EQ(std::u16string(h), u"heap");
    mem_free(h);
    EXPECT_EQ(wstr_dup_heap(nullptr, TEXT_NUL), nullptr);
}

TEST(Utf, CaseInsensitiveUtf16) {
    EXPECT_EQ(wstr_compare_nocase(u"abc", TEXT_NUL, u"ABC", TEXT_NUL), 0);
    EXPECT_EQ(wstr_compare_nocase(u"abc", TEXT_NUL, u"ABD", TEXT_NUL), -1);
    EXPECT_EQ(wstr_compare_nocase(u"abcd", TEXT_NUL, u"ABC", TEXT_NUL), 1);
    // Only ASCII letters fold: U+00E9 and U+00C9 differ.
    EXPECT_NE(wstr_compare_nocase(u"\u00E9", TEXT_NUL, u"\u00C9", TEXT_NUL), 0);
    EXPECT_EQ(wstr_has_prefix_nocase(u"\\Device\\HarddiskVolume1\\x", TEXT_NUL,
                                     u"\\device\\harddisk", TEXT_NUL),
              0);
    EXPECT_EQ(wstr_has_prefix_nocase(u"\\Dev", TEXT_NUL, u"\\device", TEXT_NUL), -1);
}

TEST(Utf, PathArgCheck) {
    EXPECT_EQ(path_arg_check(nullptr), 14);
    EXPECT_EQ(path_arg_check(""), 123);
    EXPECT_EQ(path_arg_check("a"), 0);
}

} // namespace
