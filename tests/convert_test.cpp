
#include "base/test_control.h"
#include "app/convert.h"
#include "app/rewrite.h"
#include "app/options.h"
#include "base/filekind.h"
#include "base/fileinfo.h"
#include "base/alloc.h"
#include "engine_support.h"
#include "fileio_wine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <vector>

#ifndef _WIN32
#endif

namespace {

using namespace engine_test;

#define BYTES(lit) std::string(lit, sizeof(lit) - 1)

// --- an independent reference ---------------------------------------------------

struct RefCounts {
    int lf = 0, crlf = 0, crcrlf = 0, lone_cr = 0, bom = 0;
    int line_ends() const { return lf + crlf + crcrlf + lone_cr; }
};

// The text in the given form ('u' or 'w'), straight from the rules, over the
// whole string at once.
std::string reference_text(const std::string& in, char form, RefCounts* n) {
    auto at = [&](size_t i) -> unsigned char {
        return i < in.size() ? static_cast<unsigned char>(in[i]) : 0;
    };
    const std::string eol = form == 'u' ? "\n" : "\r\n";
    std::string out;
    *n = RefCounts{};
    size_t i = 0;
    while (i < in.size()) {
        unsigned char c = at(i++);
        if (c == 0x0A) {
            ++n->lf;
            out += eol;
        } else if (c == 0x0D) {
            if (at(i) == 0x0A) {
                i += 1;
                ++n->crlf;
            } else if (at(i) == 0x0D && at(i + 1) == 0x0A) {
                i += 2;
                ++n->crcrlf;
            } else {
                ++n->lone_cr;
            }
            out += eol;
        } else if (c == 0xEF && at(i) == 0xBB && at(i + 1) == 0xBF) {
            i += 2;
            ++n->bom;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

struct Expected {
    std::string output; // the file afterwards (the input when left alone)
    uint32_t line_feeds = 0;
    uint32_t boms = 0;
    bool fixed = false;
};

Expected reference(const std::string& in, const std::string& flags) {
    bool u = flags.find('u') != std::string::npos;
    bool w = flags.find('w') != std::string::npos;
    bool t = flags.find('t') != std::string::npos;
    RefCounts n;
    reference_text(in, 'u', &n);
    char form = u ? 'u' : w ? 'w' : (n.lf >= n.crlf ? 'u' : 'w');
    std::string text = reference_text(in, form, &n);
    int in_form = form == 'u' ? n.lf : n.crlf;
    Expected e;
    e.output = in;
    if (n.bom == 0 && n.line_ends() == in_form) return e;
    e.fixed = true;
    e.line_feeds = static_cast<uint32_t>(n.line_ends() - in_form);
    e.boms = static_cast<uint32_t>(n.bom);
    if (!t) e.output = text;
    return e;
}

// --- running the engine on a scratch file -------------------------------------------

RunTotals totals_for(const std::string& flags) {
    RunTotals t{};
    for (char f : flags) {
        if (f == 'u') t.to_unix = 1;
        if (f == 'w') t.to_windows = 1;
        if (f == 'p') t.preserve_time = 1;
        if (f == 't') t.test_only = 1;
        if (f == 'f') t.force = 1;
    }
    return t;
}

std::string describe(const RunTotals& t) {
    std::ostringstream s;
    s << "processed " << t.files_processed << " fixed " << t.files_fixed << " lf "
      << t.line_feeds_fixed << " bom " << t.boms_fixed << " open " << t.open_failures << " mem "
      << t.memory_failures << " write " << t.write_failures;
    return s.str();
}

RunTotals counted(uint32_t fixed, uint32_t lf, uint32_t bom) {
    RunTotals t{};
    t.files_processed = 1;
    t.files_fixed = fixed;
    t.line_feeds_fixed = lf;
    t.boms_fixed = bom;
    return t;
}

// Counters only: the flags are what the caller gave.
std::string counters(const RunTotals& t) {
    return describe(t);
}

const auto kOldTime = fs::file_time_type::clock::now() - std::chrono::hours(24 * 400);

struct Outcome {
    std::string output;
    RunTotals totals;
    std::string printed;
    bool time_kept;
};

struct ConvertFile : ::testing::Test {
    ScratchDir scratch{"convert"};
    fs::path file = scratch.dir / "file.txt";
    fs::path capture = scratch.dir / "stdout.txt";
    std::string path = program_path(file);
    std::string shown = shown_form(file);
    fs::file_time_type old_time;

    void SetUp() override {
        rewrite_release_window();
#ifndef _WIN32
        fault_reset();
        setenv("XDG_STATE_HOME", (scratch.dir / "state").c_str(), 1);
#endif
    }
    void TearDown() override {
        mem_fail_at(0);
        rewrite_set_window(0, false);
#ifndef _WIN32
        fault_reset();
        unsetenv("XDG_STATE_HOME");
#endif
    }

    void put(const std::string& bytes) {
        write_bytes(file, bytes);
        // Whole seconds, so that every clock on the way keeps the value exactly.
        old_time = std::chrono::floor<std::chrono::seconds>(kOldTime);
        fs::last_write_time(file, old_time);
    }

    Outcome convert(const std::string& flags) {
        Outcome o;
        o.totals = totals_for(flags);
        FileEntry entry{};
        StdoutCapture cap(capture);
        cap.start();
        convert_file(&o.totals, path.c_str(), &entry);
        o.printed = cap.finish();
        o.output = read_bytes(file);
        o.time_kept = fs::last_write_time(file) == old_time;
        return o;
    }

    Outcome run(const std::string& input, const std::string& flags) {
        put(input);
        return convert(flags);
    }

    // The engine against the reference, in the real run and in test mode.
    void check(const std::string& input, const std::string& flags, const std::string& label) {
        // The rules hold for every byte: NUL is data like any other here.
        for (std::string mode : {flags + "f", flags + "ft"}) {
            SCOPED_TRACE(label + " flags '" + mode + "'");
            Expected e = reference(input, mode);
            Outcome o = run(input, mode);
            ASSERT_EQ(o.output, e.output);
            EXPECT_EQ(counters(o.totals), counters(counted(e.fixed, e.line_feeds, e.boms)));
            EXPECT_EQ(o.printed, e.fixed ? shown + "\n" : "");
            // Files left alone are not written at all; without -p a rewrite moves the time.
            bool written = e.fixed && mode.find('t') == std::string::npos;
            EXPECT_EQ(o.time_kept, !written);
        }
    }
};

// --- the rules, case by case ------------------------------------------------------------

struct Case {
    const char* name;
    std::string input;
    const char* flags;
    std::string output;
    uint32_t line_feeds;
    uint32_t boms;
    bool fixed;
};

const Case kCases[] = {
    {"crlf to unix", BYTES("a\r\nb\r\n"), "u", BYTES("a\nb\n"), 2, 0, true},
    {"lf to windows", BYTES("a\nb\n"), "w", BYTES("a\r\nb\r\n"), 2, 0, true},
    {"majority lf", BYTES("a\nb\r\nc\n"), "", BYTES("a\nb\nc\n"), 1, 0, true},
    {"tie goes to unix", BYTES("a\nb\r\n"), "", BYTES("a\nb\n"), 1, 0, true},
    {"majority crlf", BYTES("a\r\nb\r\nc\n"), "", BYTES("a\r\nb\r\nc\r\n"), 1, 0, true},
    {"lone crs only: unix", BYTES("a\rb\r"), "", BYTES("a\nb\n"), 2, 0, true},
    {"cr cr lf to windows", BYTES("a\r\r\nb"), "w", BYTES("a\r\nb"), 1, 0, true},
    {"cr cr lf to unix", BYTES("a\r\r\nb"), "u", BYTES("a\nb"), 1, 0, true},
    {"cr cr cr lf is two line ends", BYTES("\r\r\r\n"), "u", BYTES("\n\n"), 2, 0, true},
    {"cr cr cr lf to windows", BYTES("\r\r\r\n"), "w", BYTES("\r\n\r\n"), 2, 0, true},
    {"both switches: unix wins", BYTES("a\r\n"), "uw", BYTES("a\n"), 1, 0, true},
    {"leading bom only",
     BYTES("\xEF\xBB\xBF"
           "a\nb\n"),
     "u", BYTES("a\nb\n"), 0, 1, true},
    {"bom mid line",
     BYTES("a\xEF\xBB\xBF"
           "b\n"),
     "u", BYTES("ab\n"), 0, 1, true},
    {"bom in majority mode",
     BYTES("\xEF\xBB\xBF"
           "a\r\n"),
     "", BYTES("a\r\n"), 0, 1, true},
    {"file of one bom", BYTES("\xEF\xBB\xBF"), "w", BYTES(""), 0, 1, true},
    {"two boms",
     BYTES("\xEF\xBB\xBF\xEF\xBB\xBF"
           "x"),
     "u", BYTES("x"), 0, 2, true},
    {"ef then bom", BYTES("\xEF\xEF\xBB\xBF"), "u", BYTES("\xEF"), 0, 1, true},
    {"ef bb at the end stays", BYTES("a\n\xEF\xBB"), "w", BYTES("a\r\n\xEF\xBB"), 1, 0, true},
    {"ef bb at the end alone", BYTES("a\n\xEF\xBB"), "u", BYTES("a\n\xEF\xBB"), 0, 0, false},
    {"ef bb then line end", BYTES("\xEF\xBB\n"), "w", BYTES("\xEF\xBB\r\n"), 1, 0, true},
    {"ef bf is no bom", BYTES("\xEF\xBF\xBB"), "u", BYTES("\xEF\xBF\xBB"), 0, 0, false},
    {"no line ends, unix", BYTES("abc"), "u", BYTES("abc"), 0, 0, false},
    {"no line ends, windows", BYTES("abc"), "w", BYTES("abc"), 0, 0, false},
    {"empty file", BYTES(""), "", BYTES(""), 0, 0, false},
    {"empty file, windows", BYTES(""), "w", BYTES(""), 0, 0, false},
    {"already unix", BYTES("a\nb\n"), "u", BYTES("a\nb\n"), 0, 0, false},
    {"already windows", BYTES("a\r\nb\r\n"), "", BYTES("a\r\nb\r\n"), 0, 0, false},
    {"zero byte last", BYTES("a\r\n\0"), "u", BYTES("a\n\0"), 1, 0, true},
    {"cr before a zero byte", BYTES("a\r\0"), "u", BYTES("a\n\0"), 1, 0, true},
    {"lone cr at the end", BYTES("a\r"), "w", BYTES("a\r\n"), 1, 0, true},
    {"lone cr at the end, unix", BYTES("a\r"), "u", BYTES("a\n"), 1, 0, true},
    {"cr cr at the end", BYTES("\r\r"), "w", BYTES("\r\n\r\n"), 2, 0, true},
    {"lf cr is two line ends", BYTES("a\n\rb"), "w", BYTES("a\r\n\r\nb"), 2, 0, true},
    {"zero bytes kept", BYTES("\0\0\n\0"), "w", BYTES("\0\0\r\n\0"), 1, 0, true},
};

TEST_F(ConvertFile, FollowsTheRulesInEveryMode) {
    for (const Case& c : kCases) {
        for (std::string mode : {std::string(c.flags) + "f", std::string(c.flags) + "ft"}) {
            SCOPED_TRACE(std::string(c.name) + " flags '" + mode + "'");
            bool test_only = mode.find('t') != std::string::npos;
            Outcome o = run(c.input, mode);
            EXPECT_EQ(o.output, test_only ? c.input : c.output);
            EXPECT_EQ(counters(o.totals), counters(counted(c.fixed, c.line_feeds, c.boms)));
            EXPECT_EQ(o.printed, c.fixed ? shown + "\n" : "");
            EXPECT_EQ(o.time_kept, !(c.fixed && !test_only));
            // The reference agrees with the hand-written row.
            Expected e = reference(c.input, mode);
            EXPECT_EQ(e.output, o.output);
        }
    }
}

// --- where reads and blocks meet ---------------------------------------------------------

std::string filler(size_t n) {
    std::string s;
    s.reserve(n);
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 23));
    return s;
}

TEST_F(ConvertFile, SequencesSplitAcrossTheReadSlice) {
    struct Boundary {
        const char* name;
        std::string input;
        const char* flags;
    };
    std::vector<Boundary> cases = {
        {"cr at 9999, lf at 10000", filler(9999) + "\r\n" + "tail\r\n", "u"},
        {"cr lf at 9998", filler(9998) + "\r\n" + "tail\n", "w"},
        {"lf at 9999", filler(9999) + "\n" + "tail\r\n", "w"},
        {"exactly 10000 bytes", filler(9998) + "\r\n", "u"},
        {"exactly 10000 bytes ending in cr", filler(9999) + "\r", "w"},
        {"exactly 20000 bytes", filler(19998) + "\n\n", "w"},
        {"zero byte last after a slice", filler(10000) + "\n" + BYTES("\0"), "w"},
    };
    for (size_t at = 9996; at <= 10000; ++at) {
        cases.push_back({"cr cr lf near the slice end", filler(at) + "\r\r\n" + "z\n", "u"});
        cases.push_back({"bom near the slice end", filler(at) + "\xEF\xBB\xBF" + "z\n", "u"});
        cases.push_back({"ef bb near the slice end", filler(at) + "\xEF\xBB" + "z\r\n", "u"});
        cases.push_back({"cr cr near the slice end", filler(at) + "\r\r" + "z\n", "w"});
    }
    for (const Boundary& b : cases)
        check(b.input, b.flags, std::string(b.name) + " (" + std::to_string(b.input.size()) + ")");
}

TEST_F(ConvertFile, OutputCrossesBlocks) {
    // Growing across 50,000 and 100,000 bytes of output, and shrinking across them.
    std::string lf;
    for (int i = 0; i < 13000; ++i) lf += "abcdefg\n";
    check(lf, "w", "lf text of 104,000 bytes");
    std::string crlf;
    for (int i = 0; i < 12000; ++i) crlf += "abcdefghi\r\n";
    check(crlf, "u", "crlf text of 132,000 bytes");
    check(filler(49999) + "\n", "w", "output of exactly 50,001 bytes");
    check(filler(49998) + "\n", "w", "output of exactly 50,000 bytes");
}

// --- property check against the reference -------------------------------------------------

std::string random_text(std::mt19937& rng) {
    static const char kBytes[] = {'a', 'b', ' ', '\r', '\n', '\xEF', '\xBB', '\xBF', '\0', 'x'};
    std::uniform_int_distribution<int> pick(0, 9);
    std::uniform_int_distribution<int> kind(0, 49);
    size_t length;
    int k = kind(rng);
    if (k == 0)
        length = 9990 + rng() % 30; // around the first read slice
    else if (k == 1)
        length = 49990 + rng() % 30; // around the first block
    else if (k == 2)
        length = 20000 + rng() % 100000; // several slices and blocks
    else
        length = rng() % 48;
    std::string s(length, 'a');
    // Long inputs are mostly plain text with special bytes now and then.
    int density = length > 1000 ? 40 : 1;
    std::uniform_int_distribution<int> sparse(0, density - 1);
    for (char& c : s)
        if (sparse(rng) == 0) c = kBytes[pick(rng)];
    return s;
}

TEST_F(ConvertFile, MatchesTheReferenceOnRandomText) {
    std::mt19937 rng(20261208);
    for (int i = 0; i < 1500; ++i) {
        std::string input = random_text(rng);
        const char* flags = i % 3 == 0 ? "u" : i % 3 == 1 ? "w" : "";
        check(input, flags, "case " + std::to_string(i));
        if (HasFailure()) return;
    }
}

// --- preserving the modify time ---------------------------------------------------------------

TEST_F(ConvertFile, KeepsTheModifyTimeWithP) {
    Outcome o = run(BYTES("a\r\nb\r\n"), "up");
    EXPECT_EQ(o.output, BYTES("a\nb\n"));
    EXPECT_TRUE(o.time_kept);
    o = run(BYTES("a\r\nb\r\n"), "u");
    EXPECT_EQ(o.output, BYTES("a\nb\n"));
    EXPECT_FALSE(o.time_kept);
}

// --- files that cannot be opened, held or written ---------------------------------------------

TEST_F(ConvertFile, MissingFileCountsAsOpenFailure) {
    path = program_path(scratch.dir / "missing.txt");
    for (const char* flags : {"u", "t", ""}) {
        SCOPED_TRACE(flags);
        RunTotals t = totals_for(flags);
        FileEntry entry{};
        StdoutCapture cap(capture);
        cap.start();
        convert_file(&t, path.c_str(), &entry);
        EXPECT_EQ(cap.finish(), "");
        RunTotals want{};
        want.files_processed = 1;
        want.open_failures = 1;
        EXPECT_EQ(counters(t), counters(want));
    }
}

TEST_F(ConvertFile, FoldersAreCountedAndLeftAlone) {
    RunTotals t = totals_for("u");
    FileEntry entry{};
    entry.is_directory = 1;
    convert_file(&t, path.c_str(), &entry);
    RunTotals want{};
    want.files_processed = 1;
    EXPECT_EQ(counters(t), counters(want));
}

// Mixed line ends, exactly n bytes long: two CR LF to one LF, so that every
// mode has something to change.
std::string mixed_text(size_t n, const std::string& word = "text") {
    std::string t;
    for (int i = 0; t.size() < n; ++i) t += word + (i % 3 == 2 ? "\n" : "\r\n");
    t.resize(n, 'x');
    return t;
}

// Binary data is judged on the whole file before anything is written: a NUL
// anywhere, more than one control byte in 128 that text does not hold (not
// TAB, LF, VT, FF, CR, BS, ESC or SUB), or a UTF-16 or UTF-32 mark at the
// start. Such a file is left as it is in every mode, counted as binary and
// never named, -t says so alike, and -f converts it as text; a file that is
// certain to be binary from its first block is read no further.
TEST_F(ConvertFile, BinaryIsJudgedOnTheWholeFile) {
    rewrite_set_window(4096, false); // the files are several windows long
    const std::string nul(1, '\0');
    std::mt19937 rng(34);
    std::string random_bytes, pdf_stream;
    for (int i = 0; i < 40000; ++i) random_bytes += static_cast<char>(1 + rng() % 255);
    for (int i = 0; i < 3000; ++i) pdf_stream += static_cast<char>(rng() % 256);
    // 16,384 bytes: 128 control bytes are one in 128, the threshold itself.
    auto with_controls = [](size_t k) {
        std::string t = mixed_text(16384);
        for (size_t i = 0; i < k; ++i) t[100 + i * 120] = i % 2 ? '\x01' : '\x7F';
        return t;
    };
    struct Case {
        const char* name;
        std::string input;
        bool binary, early;
    } cases[] = {
        {"NUL at byte 0", nul + mixed_text(20000), true, true},
        {"NUL at byte 7,999", mixed_text(7999) + nul + mixed_text(12000), true, true},
        {"NUL at byte 8,000", mixed_text(8000) + nul + mixed_text(12000), true, true},
        {"NUL at byte 8,001", mixed_text(8001) + nul + mixed_text(12000), true, true},
        {"NUL at the last byte", mixed_text(30000) + nul, true, false},
        {"NUL in the last window", mixed_text(30000) + nul + mixed_text(300), true, false},
        {"random bytes without NUL", random_bytes, true, true},
        {"a PDF whose stream starts after 64 KiB",
         "%PDF-1.4\r\n" + mixed_text(66000, "<< /Type /Page >>") + "stream\r\n" + pdf_stream +
             "\r\nendstream\r\n",
         true, false},
        {"UTF-16 LE mark", "\xFF\xFE" + mixed_text(9000), true, true},
        {"UTF-32 BE mark", nul + nul + "\xFE\xFF" + mixed_text(9000), true, true},
        {"ANSI escapes, form feeds, backspaces and a trailing SUB",
         mixed_text(9000, "\x1B[31mred\x1B[0m\f\b\t\v") + "\x1A", false, false},
        {"Latin-1 and UTF-8", mixed_text(9000, "caf\xE9 \xC3\xA9t\xC3\xA9 \x80\xFF"), false, false},
        {"a vim macro's few keystrokes", "let @q = 'qa\x16\x01\x1Bq'\r\n" + mixed_text(20000),
         false, false},
        {"control bytes at the threshold", with_controls(128), false, false},
        {"one control byte more", with_controls(129), true, false},
    };
    for (const Case& c : cases) {
        for (const char* mode : {"u", "w", ""}) {
            SCOPED_TRACE(std::string(c.name) + " mode '" + mode + "'");
            Expected e = reference(c.input, mode);
            ASSERT_TRUE(e.fixed); // every case has something to change
#ifndef _WIN32
            g_call_log = CallLog{};
#endif
            Outcome dry = run(c.input, std::string(mode) + "t");
#ifndef _WIN32
            if (c.early) {
                EXPECT_EQ(g_call_log.reads, 1u);
            }
#endif
            Outcome real = run(c.input, mode);
            RunTotals want = counted(c.binary ? 0 : 1, c.binary ? 0 : e.line_feeds, e.boms);
            want.binary_left = c.binary;
            EXPECT_EQ(real.output, c.binary ? c.input : e.output);
            for (const Outcome* o : {&dry, &real}) {
                EXPECT_EQ(counters(o->totals), counters(want));
                EXPECT_EQ(o->totals.binary_left, want.binary_left);
                EXPECT_EQ(o->printed, c.binary ? "" : shown + "\n");
            }
            EXPECT_EQ(dry.output, c.input);
            if (!c.binary) continue;
            EXPECT_TRUE(real.time_kept);
            Outcome forced = run(c.input, std::string(mode) + "f");
            EXPECT_EQ(forced.output, e.output);
            EXPECT_EQ(forced.totals.binary_left, 0u);
        }
    }
}

// A file that can only be opened for reading is judged as usual and reported
// as not modified, on standard error only; its bytes stay as they were.
TEST_F(ConvertFile, ReadOnlyFileNeedingChangeIsNotModified) {
    if (wine_writes_read_only_files()) GTEST_SKIP() << "Wine as root writes read-only files";
    for (const char* input : {"a\r\nb\r\n", "a\nb\n"}) {
        SCOPED_TRACE(input);
        put(input);
        fs::permissions(file,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        Outcome o = convert(std::string(input)[1] == '\r' ? "u" : "w");
        fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
        EXPECT_EQ(o.output, input);
        RunTotals want = counted(0, 0, 0);
        want.write_failures = 1;
        EXPECT_EQ(counters(o.totals), counters(want));
        EXPECT_EQ(o.printed, "");
    }
}

// Every heap allocation the conversion makes, failed in turn: the file is
// either converted in full or left exactly as it was, and a file left alone
// is counted once with the failures.
TEST_F(ConvertFile, OutOfMemoryAtAnyPointLeavesTheFileWholeOrConverted) {
    std::string input;
    for (int i = 0; i < 9000; ++i) input += "0123456\r\n"; // 81,000 bytes: two blocks
    const std::string converted = reference(input, "u").output;
    put(input);
    rewrite_release_window();
    uint64_t before = mem_call_count();
    Outcome clean = convert("u");
    ASSERT_EQ(clean.output, converted);
    uint64_t calls = mem_call_count() - before;
    ASSERT_GE(calls, 3u); // first block, read buffer, second block

    int memory_failures = 0;
    for (bool sticky : {false, true}) {
        for (uint64_t n = 1; n <= calls; ++n) {
            SCOPED_TRACE("heap call " + std::to_string(n) + (sticky ? " onwards" : ""));
            put(input);
            rewrite_release_window();
            mem_fail_at(n, sticky);
            Outcome o = convert("u");
            mem_fail_at(0);
            const RunTotals& t = o.totals;
            EXPECT_EQ(t.files_processed, 1u);
            uint32_t failures = t.open_failures + t.memory_failures + t.write_failures;
            if (o.output == converted) {
                EXPECT_EQ(failures, 0u) << describe(t);
                EXPECT_EQ(t.files_fixed, 1u);
            } else {
                EXPECT_EQ(o.output, input);
                EXPECT_TRUE(o.time_kept);
                EXPECT_EQ(failures, 1u) << describe(t);
                if (t.memory_failures == 1) {
                    ++memory_failures;
                    EXPECT_EQ(t.files_fixed, 0u);
                    EXPECT_EQ(t.line_feeds_fixed, 0u);
                    EXPECT_EQ(o.printed, "");
                }
            }
        }
    }
    // At least the first block, the read buffer and the second block.
    EXPECT_GE(memory_failures, 3);
}

#ifndef _WIN32

// --- faults only the stand-in can make
// ------------------------------------------------------------

TEST_F(ConvertFile, TestModeNeverOpensForWriting) {
    std::mt19937 rng(99);
    for (int i = 0; i < 200; ++i) {
        std::string input = random_text(rng);
        for (const char* flags : {"tu", "tw", "t"}) {
            put(input);
            fault_reset();
            Outcome o = convert(flags);
            EXPECT_EQ(g_call_log.write_opens, 0u);
            EXPECT_EQ(g_call_log.opens, 1u);
            EXPECT_EQ(o.output, input);
        }
    }
}

// Counting reads in slices of 10,000 bytes up to the length the file had
// when opened, with no read to find the end; a forward rewrite reads a window
// of a mebibyte at once, up to that length.
TEST_F(ConvertFile, ReadsInSlicesAndWindows) {
    put(filler(25000) + "\r\n");
    fault_reset();
    convert("t");
    EXPECT_EQ(g_call_log.reads, 3u);
    EXPECT_EQ(g_call_log.last_read_size, 5002u);
    fault_reset();
    convert("u");
    EXPECT_EQ(g_call_log.reads, 1u);
    EXPECT_EQ(g_call_log.last_read_size, 25002u);
}

// A read that fails part way is not the end of the file: nothing is judged
// from the part that was read. A rewrite under way tries once more from its
// journal; the file ends as it was or converted, and the counts say which.
TEST_F(ConvertFile, ReadErrorLeavesTheFileAlone) {
    std::string input, converted;
    for (int i = 0; i < 4000; ++i) input += "abcdefgh\r\n"; // 40,000 bytes
    for (int i = 0; i < 4000; ++i) converted += "abcdefgh\n";
    rewrite_set_window(4096, false);
    for (const char* flags : {"u", "w", "", "t", "tw"}) {
        for (uint32_t skip : {0u, 1u, 3u}) {
            SCOPED_TRACE(std::string("flags '") + flags + "' failing read " +
                         std::to_string(skip + 1));
            put(input);
            FaultRule rule;
            rule.skip = skip;
            rule.error = ERROR_CRC;
            fault_set(FAULT_READ, rule);
            Outcome o = convert(flags);
            fault_reset();
            RunTotals want{};
            want.files_processed = 1;
            if (o.output == input) {
                EXPECT_TRUE(o.time_kept);
                want.open_failures = 1;
                EXPECT_EQ(o.printed, "");
            } else {
                EXPECT_EQ(o.output, converted);
                want = counted(1, 4000, 0);
            }
            EXPECT_EQ(counters(o.totals), counters(want));
        }
    }
}

// When the disk cannot hold the longer text, the file is found out before a
// byte of it is overwritten.
TEST_F(ConvertFile, DiskFullWhenGrowingLeavesTheFileAlone) {
    std::string input;
    for (int i = 0; i < 7000; ++i) input += "abcdefgh\n"; // grows by 7,000 bytes
    for (const char* flags : {"w", "wp"}) {
        SCOPED_TRACE(flags);
        put(input);
        FaultRule rule;
        rule.status = STATUS_DISK_FULL;
        rule.info_class = FileEndOfFileInformation;
        fault_set(FAULT_SET_INFO, rule);
        Outcome o = convert(flags);
        fault_reset();
        EXPECT_EQ(o.output, input);
        EXPECT_TRUE(o.time_kept);
        RunTotals want = counted(0, 0, 0);
        want.write_failures = 1;
        EXPECT_EQ(counters(o.totals), counters(want));
        EXPECT_EQ(o.printed, "");
    }
}

// A shrinking rewrite needs no room: its end-of-file calls are the check
// that the file may be cut (its last byte off and back, as on Windows), then
// the final cut.
TEST_F(ConvertFile, ShrinkingCutsOnlyDownwards) {
    rewrite_set_window(0, true);
    put(BYTES("a\r\nb\r\n"));
    Outcome o = convert("u");
    EXPECT_EQ(o.output, BYTES("a\nb\n"));
    EXPECT_EQ(counters(o.totals), counters(counted(1, 2, 0)));
    // A file that cannot be cut (another program has it mapped) is found out
    // before a byte is written.
    put(BYTES("a\r\nb\r\n"));
    fault_reset();
    FaultRule rule;
    rule.status = STATUS_ACCESS_DENIED;
    rule.info_class = FileEndOfFileInformation;
    fault_set(FAULT_SET_INFO, rule);
    o = convert("u");
    EXPECT_EQ(o.output, BYTES("a\r\nb\r\n"));
    EXPECT_TRUE(o.time_kept);
    RunTotals want = counted(0, 0, 0);
    want.write_failures = 1;
    EXPECT_EQ(counters(o.totals), counters(want));
}

// The file opened must be the one listed: another file under the name is
// neither read nor written, and is named as not read.
TEST_F(ConvertFile, AnotherFileUnderTheListedNameIsNotRead) {
    put(BYTES("a\r\n"));
    FileEntry listed{};
    ASSERT_EQ(file_query_entry_by_path(path.c_str(), &listed), 0);
    for (int half : {0, 1}) {
        FileEntry other = listed;
        other.file_id[half] ^= 0x5a;
        RunTotals t = totals_for("u");
        StdoutCapture err(scratch.dir / "err.txt", true);
        err.start();
        convert_file(&t, path.c_str(), &other);
        EXPECT_EQ(err.finish(),
                  "ERROR: Cannot read file \"" + shown + "\": file not found (error 2).\n");
        EXPECT_EQ(t.open_failures, 1u);
        EXPECT_EQ(read_bytes(file), BYTES("a\r\n"));
    }
    RunTotals t = totals_for("u");
    convert_file(&t, path.c_str(), &listed);
    EXPECT_EQ(read_bytes(file), BYTES("a\n"));
}

TEST_F(ConvertFile, FallsBackToReadOnlyOpen) {
    put(BYTES("a\nb\n"));
    FaultRule rule;
    rule.status = STATUS_SHARING_VIOLATION;
    fault_set(FAULT_OPEN, rule);
    Outcome o = convert("");
    EXPECT_EQ(g_call_log.opens, 2u);
    EXPECT_EQ(g_call_log.write_opens, 1u);
    EXPECT_EQ(counters(o.totals), counters(counted(0, 0, 0)));
    fault_reset();
    fault_set(FAULT_OPEN, rule);
    rule.count = 2;
    fault_set(FAULT_OPEN, rule);
    o = convert("");
    RunTotals want{};
    want.files_processed = 1;
    want.open_failures = 1;
    EXPECT_EQ(counters(o.totals), counters(want));
}

#endif // _WIN32

} // namespace

namespace {

// A file whose charset keeps its mark (charset = utf-8-bom): the mark at
// the first byte stays and is no change; marks elsewhere still go. In every
// direction, through windows of 4 KiB, in test mode alike.
TEST_F(ConvertFile, KeepsOnlyTheMarkAtTheStart) {
    rewrite_set_window(4096, false);
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        const char* name;
        std::string input;
    } cases[] = {
        {"a mark at the start", bom + mixed_text(20000)},
        {"marks at the start and in the middle", bom + mixed_text(9000) + bom + mixed_text(9000)},
        {"a mark in the middle only", mixed_text(9000) + bom + mixed_text(9000)},
        {"a mark at the start of LF text", bom + "a\nb\n"},
        {"two marks at the start", bom + bom + "a\r\nb\n"},
        {"a lone mark", bom},
    };
    for (const Case& c : cases) {
        for (const char* mode : {"u", "w", ""}) {
            for (bool test_only : {false, true}) {
                SCOPED_TRACE(std::string(c.name) + " mode '" + mode + "'" +
                             (test_only ? " -t" : ""));
                bool lead = c.input.compare(0, 3, bom) == 0;
                Expected e = reference(lead ? c.input.substr(3) : c.input, mode);
                std::string after = lead ? bom + e.output : e.output;
                put(c.input);
                Options o{};
                o.to_unix = mode[0] == 'u';
                o.to_windows = mode[0] == 'w';
                o.test_only = test_only;
                FileEntry entry{};
                ASSERT_TRUE(single_file_entry(path.c_str(), &entry));
                FileResult r = convert_one(&o, path.c_str(), &entry,
                                           static_cast<FileWant>(WANT_RUN | WANT_KEEP_FIRST_BOM));
                EXPECT_EQ(read_bytes(file), test_only || !e.fixed ? c.input : after);
                EXPECT_EQ(r.outcome, !e.fixed    ? FILE_UNCHANGED
                                     : test_only ? FILE_WOULD_FIX
                                                 : FILE_FIXED);
                if (e.fixed) {
                    EXPECT_EQ(r.boms, e.boms);
                    EXPECT_EQ(r.line_feeds, e.line_feeds);
                }
                file_result_release(&r);
            }
        }
    }
}

} // namespace
