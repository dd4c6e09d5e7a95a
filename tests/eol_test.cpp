// The line-end scanner in every mode against a plain reference written here:
// every text of up to six bytes from the bytes that matter, and longer
// ones with tokens across a reader's slices and the 16-byte scan.
#include "app/eol.h"
#include "app/reader.h"
#include "base/fileopen.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace engine_test;

// The grammar as a reader of the format would write it: the longest token first.
struct Ref {
    PassCounts counts{};
    std::string unix_text, windows_text;
    std::vector<bool> starts; // a token starts at i (and at the end)
    uint64_t first_windows_change = ~0ull;
};

Ref reference(const std::string& t) {
    Ref r;
    r.starts.assign(t.size() + 1, false);
    for (size_t i = 0; i < t.size();) {
        r.starts[i] = true;
        auto at = [&](const char* s) { return t.compare(i, strlen(s), s) == 0; };
        size_t n = 1;
        const char* eol = nullptr;
        if (at("\r\r\n")) {
            n = 3, eol = "", ++r.counts.crcrlf;
        } else if (at("\r\n")) {
            n = 2, eol = "", ++r.counts.crlf;
        } else if (at("\xEF\xBB\xBF")) {
            n = 3, ++r.counts.bom;
        } else if (t[i] == '\n') {
            eol = "", ++r.counts.lf;
        } else if (t[i] == '\r') {
            eol = "", ++r.counts.lone_cr;
        }
        bool changes_windows = n == 3 || t[i] == '\n' || (t[i] == '\r' && n == 1);
        if (changes_windows && r.first_windows_change == ~0ull) r.first_windows_change = i;
        if (eol) {
            r.unix_text += "\n";
            r.windows_text += "\r\n";
        } else if (n == 1) {
            r.unix_text += t[i];
            r.windows_text += t[i];
        }
        i += n;
    }
    r.starts[t.size()] = true;
    return r;
}

bool same(const PassCounts& a, const PassCounts& b) {
    return a.lf == b.lf && a.crlf == b.crlf && a.crcrlf == b.crcrlf && a.lone_cr == b.lone_cr &&
           a.bom == b.bom;
}

std::string show(const std::string& t) {
    std::string s;
    for (unsigned char c : t) s += c == '\r' ? "CR " : c == '\n' ? "LF " : std::to_string(c) + " ";
    return s;
}

// Every text of `length` bytes over the alphabet.
std::vector<std::string> texts(size_t length) {
    static const char alphabet[] = {'\r', '\n', '\xEF', '\xBB', '\xBF', 'x'};
    std::vector<std::string> all;
    std::vector<size_t> digit(length, 0);
    for (;;) {
        std::string t;
        for (size_t d : digit) t += alphabet[d];
        all.push_back(t);
        size_t k = 0;
        while (k < length && ++digit[k] == sizeof alphabet) digit[k++] = 0;
        if (k == length) return all;
    }
}

// Conversion and boundaries of one text, whole and cut at every boundary.
void check_window_modes(const std::string& t) {
    Ref ref = reference(t);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(t.data());
    uint64_t n = t.size();
    for (uint64_t i = 0; i <= n; ++i)
        ASSERT_EQ(eol_is_boundary(b, n, i), ref.starts[i]) << show(t) << "at " << i;
    for (bool windows : {false, true}) {
        // Converted in two windows split at each boundary: the same as whole.
        for (uint64_t cut = 0; cut <= n; ++cut) {
            if (!ref.starts[cut]) continue;
            std::vector<unsigned char> out(2 * n + 32);
            PassCounts counts{};
            uint64_t m = eol_convert(b, cut, out.data(), windows, false, &counts);
            m += eol_convert(b + cut, n - cut, out.data() + m, windows, false, &counts);
            ASSERT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(m)),
                      windows ? ref.windows_text : ref.unix_text)
                << show(t) << "cut at " << cut;
            ASSERT_TRUE(same(counts, ref.counts)) << show(t);
            ASSERT_EQ(eol_needs_change(counts, windows),
                      (windows ? ref.windows_text : ref.unix_text) != t)
                << show(t);
        }
    }
}

TEST(Eol, EveryShortTextInEveryMode) {
    for (size_t length = 0; length <= 6; ++length)
        for (const std::string& t : texts(length)) {
            check_window_modes(t);
            if (HasFatalFailure()) return;
        }
}

// Tokens placed across the 16-byte scan and across the reader's slices, read
// back through a file: the counting pass agrees with the reference.
TEST(Eol, CountingPassAcrossSlicesAndBlocks) {
    ScratchDir dir{"eol"};
    const std::string tokens[] = {"\r\r\n",       "\r\n",     "\r",   "\n",
                                  "\xEF\xBB\xBF", "\xEF\xBB", "\xEF", "\r\r"};
    for (uint64_t slice : {5u, 7u, 16u, 17u, 10000u}) {
        for (const std::string& token : tokens) {
            for (size_t at = 0; at < 40; ++at) {
                // Control bytes among the plain ones, too few to make it binary:
                // each is judged exactly once, whatever the refills and look-aheads.
                std::string filler =
                    std::string(at % 5, 'b') + "\x01\x7F\x1A" + std::string(300, 'b');
                std::string t =
                    std::string(at, 'a') + token + filler + token + std::string(at % 3, '\n');
                Ref ref = reference(t);
                write_bytes(dir.dir / "f", t);
                FileHandle h = INVALID_FILE_HANDLE;
                ASSERT_EQ(
                    file_open(&h, program_path(dir.dir / "f").c_str(), FOPEN_QUERY | FOPEN_READ),
                    0);
                LookAheadReader r;
                reader_create(&r, h, slice);
                PassCounts counts{};
                uint64_t first = 0;
                BinaryScan scan{};
                r.limit = t.size();
                ASSERT_FALSE(eol_count(&r, &counts, &first, &scan)) << show(t);
                reader_release(&r);
                file_close(h);
                ASSERT_EQ(scan.bytes, t.size()) << show(t) << "slice " << slice;
                ASSERT_EQ(scan.controls, 2u) << show(t) << "slice " << slice;
                ASSERT_TRUE(same(counts, ref.counts)) << show(t) << "slice " << slice;
                ASSERT_EQ(first, ref.first_windows_change) << show(t) << "slice " << slice;
                // The window scan sees the same from any start.
                const unsigned char* b = reinterpret_cast<const unsigned char*>(t.data());
                uint64_t lf = 0;
                const unsigned char* s = eol_count_lf(b, b + t.size(), &lf);
                size_t stop = t.find_first_of("\r\xEF");
                ASSERT_EQ(static_cast<size_t>(s - b), stop == std::string::npos ? t.size() : stop);
                ASSERT_EQ(lf, static_cast<uint64_t>(std::count(b, s, '\n')));
            }
        }
    }
}

// Each byte value, alone and in runs across the 16-byte scan: the control
// bytes text does not hold are exactly these, and a NUL is seen wherever it
// stands.
TEST(Eol, BinaryScanJudgesEveryByteValue) {
    auto is_control = [](int c) {
        static const int text_controls[] = {0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x1A, 0x1B};
        return (c < 0x20 && std::find(std::begin(text_controls), std::end(text_controls), c) ==
                                std::end(text_controls)) ||
               c == 0x7F;
    };
    for (bool avx2 : {true, false}) {
        eol_allow_avx2(avx2);
        for (int c = 0; c < 256; ++c) {
            for (size_t at : {0u, 1u, 15u, 16u, 17u, 40u, 4095u}) {
                // Long runs pass the folding of the byte-wise tallies.
                for (size_t run : {1u, 16u, 33u, 9000u}) {
                    std::string t = std::string(at, 'a') + std::string(run, static_cast<char>(c)) +
                                    std::string(at % 19, 'z');
                    BinaryScan s{};
                    // In two pieces, split where the run starts.
                    auto b = reinterpret_cast<const unsigned char*>(t.data());
                    binary_scan(&s, b, at);
                    binary_scan(&s, b + at, t.size() - at);
                    ASSERT_EQ(s.controls, is_control(c) ? run : 0u) << c << " at " << at << avx2;
                    ASSERT_EQ(s.nul, c == 0) << c << " at " << at;
                    ASSERT_EQ(s.bytes, t.size());
                }
            }
        }
    }
    eol_allow_avx2(true);
}

// The verdict: a NUL, a wide byte-order mark at the start, or more than one
// control byte in 128.
TEST(Eol, BinaryVerdict) {
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string text;
        bool binary;
    } cases[] = {
        {"empty", "", false},
        {"one NUL", nul, true},
        {"NUL last", std::string(5000, 'a') + nul, true},
        {"UTF-16 LE",
         "\xFF\xFE"
         "a\r\n",
         true},
        {"UTF-16 BE", "\xFE\xFF", true},
        {"mark's bytes later", "a\xFF\xFE", false},
        {"one byte of a mark", "\xFF", false},
        {"2 controls in 256", std::string(254, 'a') + "\x01\x02", false},
        {"3 controls in 256", std::string(253, 'a') + "\x01\x02\x7F", true},
        {"2 controls in 255", std::string(253, 'a') + "\x01\x02", true},
        {"text controls", std::string(128, '\t') + "\b\v\f\x1A\x1B\r\n", false},
        {"Latin-1 and UTF-8", "caf\xE9 \xC3\xA9 \xFF\xFE\x80", false},
    };
    for (const Case& c : cases) {
        BinaryScan s{};
        binary_scan(&s, reinterpret_cast<const unsigned char*>(c.text.data()), c.text.size());
        EXPECT_EQ(binary_certain(s, s.bytes), c.binary) << c.name;
    }
}

} // namespace
