#include "base/format.h"
#include "base/test_control.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The formatter's full output as a string (measured first, then formatted).
std::string fmt(const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    uint64_t n = format_engine(nullptr, 0, f, ap);
    va_end(ap);
    std::string out(n + 1, '\x5A');
    va_start(ap, f);
    uint64_t again = format_engine(out.data(), out.size(), f, ap);
    va_end(ap);
    EXPECT_EQ(again, n);
    EXPECT_EQ(out[n], '\0');
    out.resize(n);
    return out;
}

struct IntCase {
    const char* format;
    int64_t value;
    bool wide; // passed as a 64-bit value, else as int
    const char* expected;
};

TEST(Format, Integers) {
    const IntCase cases[] = {
        {"%5d", 42, false, "   42"},
        {"%-5d|", 42, false, "42   |"},
        {"%05d", -42, false, "-0042"},
        {"%+d", 7, false, "+7"},
        {"% d", 7, false, " 7"},
        {"%+ d", 7, false, "+7"},
        {"% d", -7, false, "-7"},
        {"%0-5d", 42, false, "00042"},
        {"%-05d", 42, false, "00042"},
        {"%d", 0, false, "0"},
        {"%i", INT_MIN, false, "-2147483648"},
        {"%.3d", 7, false, "007"},
        {"%5.3d", -7, false, " -007"},
        {"%+5.3d|", 7, false, " +007|"},
        {"%u", -1, false, "4294967295"},
        {"%#x", 255, false, "0xff"},
        {"%#X", 255, false, "0XFF"},
        {"%#o", 8, false, "010"},
        {"%#o", 0, false, "00"},
        {"%#x", 0, false, "0x0"},
        {"%#6x", 255, false, "  0xff"},
        {"%#06x", 255, false, "0x00ff"},
        {"%#u", 12, false, "12"},
        {"%x", -1, false, "ffffffff"},
        {"%X", 0xBEEF, false, "BEEF"},
        {"%o", 0777, false, "777"},
        // Sizes below 32 bits keep the low bits, sign-extended only for d and i.
        {"%hd", 0xFFFF, false, "-1"},
        {"%hd", 70000, false, "4464"},
        {"%hu", -1, false, "65535"},
        {"%hx", 0x12345, false, "2345"},
        {"%I8d", 0xFF, false, "-1"},
        {"%I8u", 0x1FF, false, "255"},
        {"%I16d", 0x8000, false, "-32768"},
        {"%I32u", -2, false, "4294967294"},
        {"%ld", -5, false, "-5"},
        {"%Lx", 0xABC, false, "abc"},
        {"%llx", -1, true, "ffffffffffffffff"},
        {"%Llx", -1, true, "ffffffffffffffff"},
        {"%I64d", INT64_MIN, true, "-9223372036854775808"},
        {"%lld", INT64_MAX, true, "9223372036854775807"},
        {"%llu", -1, true, "18446744073709551615"},
        {"%llo", -1, true, "1777777777777777777777"},
        {"%20lld|", -1234567890123, true, "      -1234567890123|"},
    };
    for (const IntCase& c : cases) {
        std::string got =
            c.wide ? fmt(c.format, c.value) : fmt(c.format, static_cast<int>(c.value));
        EXPECT_EQ(got, c.expected) << c.format;
    }
}

TEST(Format, StarWidthAndPrecisionForIntegers) {
    EXPECT_EQ(fmt("%*d", 6, 42), "    42");
    EXPECT_EQ(fmt("%-*d|", 4, 1), "1   |");
    EXPECT_EQ(fmt("%*.*d", 6, 4, 42), "  0042");
    // A negative width pads nothing.
    EXPECT_EQ(fmt("%*d", -6, 42), "42");
}

TEST(Format, Pointers) {
    void* p = reinterpret_cast<void*>(uintptr_t{0x1234ABCD});
    EXPECT_EQ(fmt("%p", p), "1234abcd");
    EXPECT_EQ(fmt("%P", p), "1234ABCD");
    EXPECT_EQ(fmt("%#p", p), "0x1234abcd");
    EXPECT_EQ(fmt("%#P", p), "0X1234ABCD");
    EXPECT_EQ(fmt("%p", static_cast<void*>(nullptr)), "0");
    // A size prefix does not shrink the value.
    void* high = reinterpret_cast<void*>(uintptr_t{0x7FFF12345678});
    EXPECT_EQ(fmt("%hp", high), "7fff12345678");
}

TEST(Format, Characters) {
    EXPECT_EQ(fmt("%c", 0xE9), "\xC3\xA9");
    EXPECT_EQ(fmt("%c", 'a'), "a");
    EXPECT_EQ(fmt("%c", 0x141), "A"); // 8 bits
    EXPECT_EQ(fmt("%hc", 0xE9), "\xC3\xA9");
    EXPECT_EQ(fmt("%lc", 0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(fmt("%Lc", 0x120AC), "\xE2\x82\xAC"); // 16 bits
    EXPECT_EQ(fmt("%I16c", 0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(fmt("%I32c", 0x1F600), "\xF0\x9F\x98\x80");
    EXPECT_EQ(fmt("%C", 0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(fmt("%hC", 0x20AC), "\xE2\x82\xAC"); // always 16 bits
    EXPECT_EQ(fmt("%w", 0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(fmt("%hw", 0x1E9), "\xC3\xA9"); // with a size, like c
    EXPECT_EQ(fmt("%I32w", 0x1F600), "\xF0\x9F\x98\x80");
    // Only the integer size: characters keep their default of 8 bits.
    EXPECT_EQ(fmt("%llc", int64_t{0x1E9}), "\xC3\xA9");
    // Width, precision and flags do not apply.
    EXPECT_EQ(fmt("%-5.1c|", 'x'), "x|");
    EXPECT_EQ(fmt("%05c", 'x'), "x");
    EXPECT_EQ(fmt("%c", 0), std::string(1, '\0'));
}

TEST(Format, Utf8Strings) {
    EXPECT_EQ(fmt("%*.*s", 0, 2, "abc"), "ab");
    // The limit grows to the width; the padding counts the whole text.
    EXPECT_EQ(fmt("%*.*s", 10, 2, "abc"), "       abc");
    EXPECT_EQ(fmt("%s", static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(fmt("%5s|", static_cast<const char*>(nullptr)), "     |");
    EXPECT_EQ(fmt("%-5s|", "ab"), "ab   |");
    EXPECT_EQ(fmt("%5s", "abcdefg"), "abcdefg");
    EXPECT_EQ(fmt("%.0s|", "abc"), "|");
    // Padding is in bytes, the precision in code points.
    EXPECT_EQ(fmt("%5s|", "\xC3\xA9"), "   \xC3\xA9|");
    EXPECT_EQ(fmt("%.2s", "\xC3\xA9"
                          "a\xE2\x82\xAC"),
              "\xC3\xA9"
              "a");
    // Bytes that start no valid sequence come out as 0xFF.
    EXPECT_EQ(fmt("%s", "a\x80"
                        "b"),
              "a\xFF"
              "b");
    EXPECT_EQ(fmt("%s", "\xC3"), "\xFF");
    EXPECT_EQ(fmt("%s", "\xF8\xE2\x82"), "\xFF\xFF\xFF");
    EXPECT_EQ(fmt("%hs", "x"), "x");
    EXPECT_EQ(fmt("%I8s", "x"), "x");
    EXPECT_EQ(fmt("%lls", "x"), "x");
    // A character size of 32 bits prints nothing but still takes its argument.
    EXPECT_EQ(fmt("%I32s%d", "x", 5), "5");
}

TEST(Format, PrecisionAfterDigitWidthAsPrintfReadsIt) {
    EXPECT_EQ(fmt("%5.2s|", "abc"), "  abc|");
    EXPECT_EQ(fmt("%5.2s|", "abc"), fmt("%*.*s|", 5, 2, "abc"));
    EXPECT_EQ(fmt("%.2s|", "abc"), "ab|");
    EXPECT_EQ(fmt("%0.3s|", "abcdef"), "abc|");
    EXPECT_EQ(fmt("%8.3d|", 5), "     005|");
    EXPECT_EQ(fmt("%.*s|", 1, "abc"), "a|");
    // A '.' without digits leaves the precision unset.
    EXPECT_EQ(fmt("%.s|", "abc"), "abc|");
    // A negative precision from '*' limits nothing.
    EXPECT_EQ(fmt("%.*s|", -3, "abc"), "abc|");
}

TEST(Format, Utf16Strings) {
    EXPECT_EQ(fmt("%S", u"h\u20AC"), "h\xE2\x82\xAC");
    EXPECT_EQ(fmt("%ls", u"h\u20AC"), "h\xE2\x82\xAC");
    EXPECT_EQ(fmt("%I16s", u"x"), "x");
    EXPECT_EQ(fmt("%S", u"\U0001F600"), "\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(fmt("%S", lone), "a\xFF"
                               "b");
    const char16_t trail[] = {0xDC00, 0};
    EXPECT_EQ(fmt("%S", trail), "\xFF");
    EXPECT_EQ(fmt("%S|", static_cast<const char16_t*>(nullptr)), "|");
    // Padding counts 16-bit units: a surrogate pair is two.
    EXPECT_EQ(fmt("%4S|", u"\U0001F600"), "  \xF0\x9F\x98\x80|");
    EXPECT_EQ(fmt("%-3S|", u"\u00E9"), "\xC3\xA9  |");
    EXPECT_EQ(fmt("%.1S", u"ab"), "a");
}

TEST(Format, StoresCountAtEachSize) {
    alignas(8) unsigned char bytes[24];
    auto fill = [&] { std::fill(std::begin(bytes), std::end(bytes), 0xAA); };
    struct Case {
        const char* format;
        int size;
    } cases[] = {{"abc%I8n", 1}, {"abc%hn", 2},   {"abc%ln", 4}, {"abc%I32n", 4},
                 {"abc%lln", 8}, {"abc%I64n", 8}, {"abc%n", 8}};
    for (const Case& c : cases) {
        fill();
        EXPECT_EQ(fmt(c.format, bytes + 8), "abc") << c.format;
        for (int i = 0; i < 24; ++i) {
            unsigned char want = 0xAA;
            if (i >= 8 && i < 8 + c.size) want = i == 8 ? 3 : 0;
            EXPECT_EQ(bytes[i], want) << c.format << " byte " << i;
        }
    }
    // The count goes on past the capacity.
    uint64_t n = 0;
    char small[2];
    EXPECT_EQ(format_to_buffer(small, sizeof small, "abcd%n!", &n), 5u);
    EXPECT_EQ(n, 4u);
    // Output before it counts bytes, not characters.
    EXPECT_EQ(fmt("%c%n", 0xE9, &n), "\xC3\xA9");
    EXPECT_EQ(n, 2u);
}

// seconds since 1970 -> 100-ns intervals since 1601
int64_t ticks(int64_t seconds) {
    return (seconds + 11644473600) * 10000000;
}

TEST(Format, DateTimes) {
    EXPECT_EQ(fmt("%T", int64_t{0}), "1601-01-01 00:00:00.000");
    EXPECT_EQ(fmt("%t", int64_t{0}), "1970-01-01 00:00:00");
    EXPECT_EQ(fmt("%T", ticks(951782400) + 12345678), "2000-02-29 00:00:01.234");
    EXPECT_EQ(fmt("%t", int64_t{951868800}), "2000-03-01 00:00:00");
    EXPECT_EQ(fmt("%t", int64_t{-2203977600}), "1900-02-28 00:00:00");
    EXPECT_EQ(fmt("%t", int64_t{-2203977600 + 86400}), "1900-03-01 00:00:00");
    EXPECT_EQ(fmt("%t", int64_t{978307199}), "2000-12-31 23:59:59");
    EXPECT_EQ(fmt("%t", int64_t{978307200}), "2001-01-01 00:00:00");
    EXPECT_EQ(fmt("%t", int64_t{1709164800}), "2024-02-29 00:00:00");
    // Sizes of 32 bits or less read a signed 32-bit value.
    EXPECT_EQ(fmt("%lt", -1), "1969-12-31 23:59:59");
    EXPECT_EQ(fmt("%ht", INT_MAX), "2038-01-19 03:14:07");
    EXPECT_EQ(fmt("%I32t", INT_MIN), "1901-12-13 20:45:52");
    EXPECT_EQ(fmt("%llt", int64_t{4102444800}), "2100-01-01 00:00:00");
    // The year is printed modulo 10000.
    EXPECT_EQ(fmt("%t", int64_t{253402300799}), "9999-12-31 23:59:59");
    EXPECT_EQ(fmt("%t", int64_t{253402300800}), "0000-01-01 00:00:00");
    EXPECT_EQ(fmt("%T", ticks(253402300800) + 86400LL * 10000000 * 366 - 10000),
              "0000-12-31 23:59:59.999");
    // The string rule applies to the text.
    EXPECT_EQ(fmt("%.10t", int64_t{0}), "1970-01-01");
    EXPECT_EQ(fmt("%21t|", int64_t{0}), "  1970-01-01 00:00:00|");
    EXPECT_EQ(fmt("%-21t|", int64_t{0}), "1970-01-01 00:00:00  |");
}

TEST(Format, DateTimesMatchTheCalendarOverTenThousandYears) {
    using namespace std::chrono;
    const sys_days epoch1601 = sys_days{year{1601} / January / 1};
    for (int64_t day = 0; day < 3200000; day += 997) {
        year_month_day ymd{epoch1601 + days{day}};
        char want[32];
        std::snprintf(want, sizeof want, "%04d-%02u-%02u 13:05:09.042",
                      static_cast<int>(ymd.year()) % 10000, static_cast<unsigned>(ymd.month()),
                      static_cast<unsigned>(ymd.day()));
        int64_t count = day * 864000000000LL + ((13 * 60 + 5) * 60 + 9) * 10000000LL + 420000;
        ASSERT_EQ(fmt("%T", count), want) << "day " << day;
    }
}

TEST(Format, Identifiers) {
    const unsigned char id[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(fmt("%r", id), "33221100-5544-7766-8899-aabbccddeeff");
    EXPECT_EQ(fmt("%R", id), "33221100-5544-7766-8899-AABBCCDDEEFF");
    EXPECT_EQ(fmt("%38r|", id), "  33221100-5544-7766-8899-aabbccddeeff|");
    EXPECT_EQ(fmt("%.8r", id), "33221100");
    EXPECT_EQ(fmt("%r|", static_cast<const void*>(nullptr)), "|");
}

TEST(Format, ControlCharactersAndUnknownConversions) {
    EXPECT_EQ(fmt("abc%"), "abc");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_EQ(fmt("%%d", 5), "%d");
    EXPECT_EQ(fmt("a%qb%d", 5), "ab5"); // takes no argument
    EXPECT_EQ(fmt("%I3d", 5), "3d");    // the I is the conversion
    EXPECT_EQ(fmt("%hhd", 5), "d");     // the second h is the conversion
    EXPECT_EQ(fmt("%5"), "");           // the end stops the conversion too
    EXPECT_EQ(fmt("%-#"), "");
    EXPECT_EQ(fmt("%I"), "");
    EXPECT_EQ(fmt("%*d|%d", 3, 1, 2), "  1|2");
    EXPECT_EQ(fmt("%*q%d", 3, 7), "7"); // the width still took its slot
    EXPECT_EQ(fmt(nullptr), "");
    EXPECT_EQ(fmt("\xC3\xA9\xFF"), "\xC3\xA9\xFF"); // plain bytes are copied unread
}

TEST(Format, CapacityAndTerminator) {
    char buf[16];
    std::fill(std::begin(buf), std::end(buf), 'Z');
    EXPECT_EQ(format_to_buffer(buf, 5, "abcdefg"), 7u);
    EXPECT_EQ(std::string(buf, 6), std::string("abcd\0Z", 6));

    std::fill(std::begin(buf), std::end(buf), 'Z');
    EXPECT_EQ(format_to_buffer(buf, 0, "abcdefg"), 7u);
    EXPECT_EQ(buf[0], 'Z');
    EXPECT_EQ(format_to_buffer(nullptr, 10, "abcdefg"), 7u);

    std::fill(std::begin(buf), std::end(buf), 'Z');
    EXPECT_EQ(format_to_buffer(buf, 8, "abc%s", "defg"), 7u);
    EXPECT_EQ(std::string(buf, 9), std::string("abcdefg\0Z", 9));

    std::fill(std::begin(buf), std::end(buf), 'Z');
    EXPECT_EQ(format_to_buffer(buf, 1, "abc"), 3u);
    EXPECT_EQ(std::string(buf, 2), std::string("\0Z", 2));
}

TEST(Format, CutInsideAMultiByteSequence) {
    char buf[8];
    std::fill(std::begin(buf), std::end(buf), 'Z');
    // 'a' E2 82 AC: capacity 4 keeps a and two bytes of the euro sign.
    EXPECT_EQ(format_to_buffer(buf, 4, "a%C", 0x20AC), 4u);
    EXPECT_EQ(std::string(buf, 5), std::string("a\xE2\x82\0Z", 5));
    std::fill(std::begin(buf), std::end(buf), 'Z');
    // Capacity 3: the NUL takes the place of the second byte.
    EXPECT_EQ(format_to_buffer(buf, 3, "a%s", "\xE2\x82\xAC"), 4u);
    EXPECT_EQ(std::string(buf, 4), std::string("a\xE2\0Z", 4));
    std::fill(std::begin(buf), std::end(buf), 'Z');
    EXPECT_EQ(format_to_buffer(buf, 6, "%S", u"\U0001F600!"), 5u);
    EXPECT_EQ(std::string(buf, 7), std::string("\xF0\x9F\x98\x80!\0Z", 7));
}

// An allocator that records what it was asked for, and can refuse.
struct CountingAllocator {
    Allocator base;
    int calls = 0;
    uint64_t last_size = 0;
    bool refuse = false;
    std::vector<std::vector<char>> blocks;
};
void* counting_allocate(Allocator* self, uint64_t size) {
    auto* a = reinterpret_cast<CountingAllocator*>(self);
    ++a->calls;
    a->last_size = size;
    if (a->refuse) return nullptr;
    a->blocks.emplace_back(size, '\0');
    return a->blocks.back().data();
}
const AllocatorOps kCountingOps = {counting_allocate};

char* alloc_fmt(Allocator* a, const char* f, ...) {
    va_list ap;
    va_start(ap, f);
    char* s = format_alloc(a, f, ap);
    va_end(ap);
    return s;
}

TEST(Format, AllocExactSizeShortAndLong) {
    for (size_t len : {0, 1, 98, 99, 100, 101, 250, 5000}) {
        CountingAllocator a;
        a.base.ops = &kCountingOps;
        std::string text(len, 'x');
        if (len > 0) text[len - 1] = 'y';
        char* s = alloc_fmt(&a.base, "%s", text.c_str());
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::string(s), text);
        EXPECT_EQ(a.calls, 1);
        EXPECT_EQ(a.last_size, len + 1);
    }
    CountingAllocator a;
    a.base.ops = &kCountingOps;
    // Every argument is read again on the second pass.
    std::string long_text(120, 'q');
    char* s = alloc_fmt(&a.base, "%d-%s-%S-%d", 12, long_text.c_str(), u"\u00E9", -3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), "12-" + long_text + "-\xC3\xA9--3");
}

TEST(Format, AllocFailureGivesNull) {
    CountingAllocator a;
    a.base.ops = &kCountingOps;
    a.refuse = true;
    EXPECT_EQ(alloc_fmt(&a.base, "short"), nullptr);
    EXPECT_EQ(alloc_fmt(&a.base, "%150s", "long"), nullptr);

    ArenaAllocator arena;
    arena_init(&arena);
    mem_fail_at(1);
    EXPECT_EQ(alloc_fmt(arena_base(&arena), "x%d", 1), nullptr);
    mem_fail_at(0);
    char* s = alloc_fmt(arena_base(&arena), "x%d", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "x1");
    arena_release(&arena);
}

} // namespace
