// The rewrite under failure: whatever step fails, the file ends as it was or
// fully converted, and a file whose original could not be put back has it
// saved beside it. Failures are injected at the stand-in.
#include "app/chunks.h"
#include "base/alloc_test_hooks.h"
#include "app/convert_test_hooks.h"
#include "app/convert.h"
#include "app/undo.h"
#include "base/alloc.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#ifndef _WIN32
#include "platform/posix/fault.h"

#include <cstdlib>
#endif

namespace {

using namespace engine_test;

bool append_to(void* context, const unsigned char* bytes, uint64_t n) {
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), n);
    return true;
}

void put_text(ConvertedText* c, const std::string& s) {
    chunks_put_run(&c->text, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

// The original made again from the text and its notes, mark and line-end
// forms in every combination, across the blocks of the notes.
TEST(ConvertedText, MakesTheOriginalAgain) {
    ConvertedText c;
    converted_create(&c, 7, true, nullptr);
    std::string original;
    converted_mark(&c); // at the very start
    original += "\xEF\xBB\xBF";
    const char* forms[] = {"\n", "\r\n", "\r\r\n", "\r"};
    for (int i = 0; i < 70000; ++i) {
        put_text(&c, "x");
        original += "x";
        if (i % 7 == 3) {
            converted_mark(&c);
            converted_mark(&c);
            original += "\xEF\xBB\xBF\xEF\xBB\xBF";
        }
        put_text(&c, "\r\n");
        converted_line_end(&c, static_cast<unsigned>(i % 4));
        original += forms[i % 4];
    }
    converted_mark(&c); // at the very end
    original += "\xEF\xBB\xBF";
    converted_finish(&c);
    ASSERT_EQ(converted_failure(&c), 0u);
    EXPECT_EQ(converted_end(&c), 7u + 3 * 70000);
    std::string made;
    ASSERT_TRUE(converted_original(&c, append_to, &made));
    EXPECT_TRUE(made == original);
    converted_release(&c);
}

// A sink that says stop ends the production.
TEST(ConvertedText, StopsWhenTheSinkFails) {
    ConvertedText c;
    converted_create(&c, 0, false, nullptr);
    for (int i = 0; i < 50000; ++i) put_text(&c, "ab");
    converted_finish(&c);
    int calls = 0;
    auto refuse = [](void* context, const unsigned char*, uint64_t) {
        ++*static_cast<int*>(context);
        return false;
    };
    EXPECT_FALSE(converted_original(&c, refuse, &calls));
    EXPECT_EQ(calls, 1);
    converted_release(&c);
}

// A budget refuses the block that would overdraw it, and gets every block
// back on release.
TEST(ConvertedText, BudgetLimitsTheBlocks) {
    uint64_t budget = 4 * sizeof(ChunkBlock);
    ConvertedText c;
    converted_create(&c, 0, false, &budget); // three first blocks
    EXPECT_EQ(budget, sizeof(ChunkBlock));
    std::string big(2 * CHUNK_DATA_SIZE + 1, 'a');
    put_text(&c, big);
    EXPECT_EQ(converted_failure(&c), static_cast<uint32_t>(ERR_OUT_OF_MEMORY));
    converted_release(&c);
    EXPECT_EQ(budget, 4 * sizeof(ChunkBlock));
}

#ifndef _WIN32

struct Rewrite : ::testing::Test {
    ScratchDir scratch{"rewrite"};
    fs::path file = scratch.dir / "file.txt";
    std::string path = program_path(file);
    std::string shown = shown_form(file);
    fs::path capture = scratch.dir / "stdout.txt";

    void SetUp() override {
        fault_reset();
        chunks_cache_release();
    }
    void TearDown() override { fault_reset(); }

    struct Result {
        std::string bytes;
        RunTotals totals;
        std::string printed;
        std::string errors; // standard error
    };

    fs::file_time_type written_at;

    Result convert(const std::string& input, const char* flags) {
        write_bytes(file, input);
        written_at = std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() -
                                                              std::chrono::hours(48));
        fs::last_write_time(file, written_at);
        Result r;
        r.totals = RunTotals{};
        r.totals.to_unix = flags[0] == 'u';
        r.totals.to_windows = flags[0] == 'w';
        FileEntry entry{};
        StdoutCapture cap(capture);
        StdoutCapture err(scratch.dir / "stderr.txt", true);
        cap.start();
        err.start();
        convert_file(&r.totals, path.c_str(), &entry);
        r.errors = err.finish();
        r.printed = cap.finish();
        r.bytes = read_bytes(file);
        return r;
    }
};

std::string lines(int n, const char* end) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "line " + std::to_string(i) + end;
    return s;
}

// Every write of the rewrite failed in turn, short and outright, on a file
// that shrinks and one that grows: the file is the original or the new text,
// and the counts say which.
TEST_F(Rewrite, EveryFailedWriteLeavesOriginalOrNewText) {
    struct Job {
        const char* flags;
        std::string input, output;
    };
    const Job jobs[] = {{"u", lines(20000, "\r\n"), lines(20000, "\n")},
                        {"w", lines(20000, "\n"), lines(20000, "\r\n")}};
    for (const Job& job : jobs) {
        fault_reset();
        Result clean = convert(job.input, job.flags);
        ASSERT_TRUE(clean.bytes == job.output);
        uint32_t writes = g_call_log.writes - 1; // the last one prints the path
        ASSERT_GE(writes, 4u);
        for (uint32_t k = 0; k < writes; ++k) {
            for (bool outright : {false, true}) {
                SCOPED_TRACE(std::string(job.flags) + " write " + std::to_string(k + 1) +
                             (outright ? " fails" : " is short"));
                fault_reset();
                FaultRule rule;
                rule.skip = k;
                if (outright)
                    rule.error = ERROR_DISK_FULL;
                else
                    rule.short_to = 1000;
                fault_set(FAULT_WRITE, rule);
                Result r = convert(job.input, job.flags);
                EXPECT_TRUE(r.bytes == job.input) << r.bytes.size();
                EXPECT_EQ(r.totals.write_failures, 1u);
                EXPECT_EQ(r.totals.files_fixed, 0u);
                EXPECT_EQ(r.printed, ""); // named on standard error only
            }
        }
    }
}

// The other steps: the extension, the check that the file may be cut, the
// final cut, the rewind before writing.
TEST_F(Rewrite, EveryFailedLengthStepLeavesOriginalOrNewText) {
    const std::string shrink = lines(12000, "\r\n"), grow = lines(12000, "\n");
    struct Step {
        const char* flags;
        const std::string& input;
        ULONG info_class;
        uint32_t skip;
        const char* what;
    };
    const Step steps[] = {
        {"w", grow, FileEndOfFileInformation, 0, "extension"},
        {"u", shrink, FileEndOfFileInformation, 0, "cut check"},
        {"u", shrink, FileEndOfFileInformation, 1, "length given back after the check"},
        {"u", shrink, FileEndOfFileInformation, 2, "final cut"},
        {"u", shrink, FilePositionInformation, 1, "rewind before writing"},
        {"w", grow, FilePositionInformation, 1, "rewind before writing, growing"},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        fault_reset();
        FaultRule rule;
        rule.status = STATUS_DISK_FULL;
        rule.info_class = s.info_class;
        rule.skip = s.skip;
        fault_set(FAULT_SET_INFO, rule);
        Result r = convert(s.input, s.flags);
        EXPECT_TRUE(r.bytes == s.input);
        EXPECT_EQ(r.totals.write_failures, 1u);
        // Put back with its modify time too, though -p was not given.
        EXPECT_EQ(fs::last_write_time(file), written_at);
    }
}

// When the original cannot be put back either, it is saved beside the file
// (else in the temporary folder) and an error names both.
TEST_F(Rewrite, FailedRestoreSavesTheOriginal) {
    const std::string input = lines(12000, "\r\n");
    const std::string beside = shown + ".eolset-original";
    // A short write, then every end-of-file call fails: the restore cannot
    // give the file its length back.
    auto arm = [] {
        fault_reset();
        FaultRule w;
        w.skip = 1;
        w.short_to = 10;
        fault_set(FAULT_WRITE, w);
        FaultRule e;
        e.status = STATUS_DISK_FULL;
        e.info_class = FileEndOfFileInformation;
        e.skip = 2; // the cut check passes
        e.count = 0;
        fault_set(FAULT_SET_INFO, e);
    };
    arm();
    Result r = convert(input, "u");
    EXPECT_EQ(r.totals.write_failures, 1u);
    EXPECT_TRUE(read_bytes(scratch.dir / "file.txt.eolset-original") == input);
    EXPECT_NE(r.errors.find("ERROR: Could not restore \"" + shown +
                            "\" after a failed rewrite; its original bytes are in \"" + beside +
                            "\".\n"),
              std::string::npos)
        << r.errors;
    EXPECT_EQ(r.printed, "");

    // Beside the file is taken and cannot be made: the temporary folder.
    fs::path temp = scratch.dir / "temp";
    fs::create_directory(temp);
    setenv("TMP", temp.c_str(), 1);
    fs::remove(scratch.dir / "file.txt.eolset-original");
    arm();
    FaultRule open_rule;
    open_rule.skip = 1; // the file's own open passes
    open_rule.status = STATUS_ACCESS_DENIED;
    fault_set(FAULT_OPEN, open_rule);
    r = convert(input, "u");
    unsetenv("TMP");
    EXPECT_TRUE(read_bytes(temp / "file.txt.eolset-original") == input);
    EXPECT_NE(r.errors.find(shown_form(temp / "file.txt.eolset-original")), std::string::npos)
        << r.errors;

    // No copy can be made anywhere either.
    arm();
    FaultRule no_open;
    no_open.skip = 1;
    no_open.count = 0;
    no_open.status = STATUS_ACCESS_DENIED;
    fault_set(FAULT_OPEN, no_open);
    r = convert(input, "u");
    EXPECT_EQ(r.totals.write_failures, 1u);
    EXPECT_NE(r.errors.find("ERROR: Could not restore \"" + shown +
                            "\" after a failed rewrite, nor save its original bytes.\n"),
              std::string::npos)
        << r.errors;
}

fs::path* g_target;
uint32_t g_at;

// Another program appends a line just before the g_at-th write.
void append_at_write(bool write, uint32_t call) {
    if (write && call == g_at) {
        FILE* f = fopen(g_target->c_str(), "ab");
        fputs("appended\n", f);
        fclose(f);
    }
}

// A file changed by another program after it was read is left alone; what
// another program appends while the file is written stays in it.
TEST_F(Rewrite, AnotherProgramsChangesAreKept) {
    const std::string input = lines(12000, "\r\n");
    g_target = &file;
    // Appended after the first read: the file no longer holds what was judged.
    g_at = 1;
    g_transfer_hook = [](bool write, uint32_t call) {
        if (!write && call == g_at) {
            FILE* f = fopen(g_target->c_str(), "ab");
            fputs("appended\r\n", f);
            fclose(f);
        }
    };
    Result r = convert(input, "u");
    EXPECT_TRUE(r.bytes == input + "appended\r\n");
    EXPECT_EQ(r.totals.write_failures, 1u);

    // Appended while the new text is written: it follows the new text.
    for (bool shrink : {true, false}) {
        SCOPED_TRACE(shrink ? "shrinking" : "growing");
        fault_reset();
        g_at = 2;
        g_transfer_hook = append_at_write;
        std::string in = shrink ? input : lines(12000, "\n");
        std::string out = shrink ? lines(12000, "\n") : input;
        r = convert(in, shrink ? "u" : "w");
        EXPECT_TRUE(r.bytes == out + "appended\n") << r.bytes.size() << " " << out.size();
        EXPECT_EQ(r.totals.write_failures, 0u);

        // ... and when the rewrite then fails, it follows the original.
        fault_reset();
        g_at = 2;
        g_transfer_hook = append_at_write;
        FaultRule rule;
        rule.skip = 2;
        rule.short_to = 5;
        fault_set(FAULT_WRITE, rule);
        r = convert(in, shrink ? "u" : "w");
        EXPECT_TRUE(r.bytes == in + "appended\n") << r.bytes.size() << " " << in.size();
        EXPECT_EQ(r.totals.write_failures, 1u);
    }
}

// Restoring writes the original back exactly, whatever the text held.
TEST_F(Rewrite, RestoreMakesRandomTextsAgain) {
    std::mt19937 rng(7);
    const char* pieces[] = {"a",    "\r",           "\n",   "\xEF",   "\xBB",
                            "\xBF", "\xEF\xBB\xBF", "\r\n", "\r\r\n", "\0"};
    for (int round = 0; round < 60; ++round) {
        std::string input;
        size_t n = 1 + rng() % 60000;
        while (input.size() < n) {
            const char* p = pieces[rng() % 10];
            input += p[0] ? std::string(p) : std::string(1, '\0');
        }
        for (const char* flags : {"u", "w"}) {
            fault_reset();
            FaultRule rule;
            rule.short_to = 3; // the first write of the rewrite
            fault_set(FAULT_WRITE, rule);
            Result r = convert(input, flags);
            ASSERT_TRUE(r.bytes == input) << "round " << round << " " << flags;
        }
    }
}

// Counts past 32 bits: the majority and the totals stay exact.
TEST_F(Rewrite, CountsAreSixtyFourBit) {
    PassCounts seed{};
    seed.lf = 0x80000010ull; // negative in 32 bits: would lose the vote
    seed.crlf = 0x100000005ull;
    convert_set_count_seed(&seed);
    Result r = convert("a\r\nb\n", "");
    convert_set_count_seed(nullptr);
    // LF 2^31 + 17 against CR LF 2^32 + 6: windows form, one LF fixed.
    EXPECT_TRUE(r.bytes == "a\r\nb\r\n");
    EXPECT_EQ(r.totals.line_feeds_fixed, 0x80000011ull);
}

// A file larger than the memory the process may still have is not
// collected; it counts as not read and stays as it is.
TEST_F(Rewrite, FileLargerThanMemoryIsLeftAlone) {
    const std::string input = lines(600000, "\r\n"); // about 8 MiB
    mem_set_available(2u << 20);
    Result r = convert(input, "u");
    mem_set_available(~0ull);
    EXPECT_TRUE(r.bytes == input);
    EXPECT_EQ(r.totals.memory_failures, 1u);
    EXPECT_EQ(r.totals.files_fixed, 0u);
    EXPECT_EQ(r.printed, "");
    r = convert(input, "u");
    EXPECT_EQ(r.totals.memory_failures, 0u);
    EXPECT_TRUE(r.bytes == lines(600000, "\n"));
}

#endif // _WIN32

} // namespace
