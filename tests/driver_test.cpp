#include "app/convert.h"
#include "base/alloc_test_hooks.h"
#include "app/convert_test_hooks.h"
#include "app/driver.h"
#include "base/alloc.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace engine_test;

struct Driver : ::testing::Test {
    ScratchDir dir{"driver"};
    std::string run(std::vector<std::string> args, uint64_t fail_at = 0, int* status = nullptr) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        StdoutCapture capture(dir.dir / "out.txt");
        capture.start();
        mem_fail_at(fail_at);
        int rc = run_converter(static_cast<int32_t>(args.size()), argv.data());
        mem_fail_at(0);
        std::string out = capture.finish();
        if (status) *status = rc;
        return out;
    }
};

// The filter list is built before anything else needs memory: running out
// there is reported in one line, and nothing is walked.
TEST_F(Driver, OutOfMemoryWhileCollectingFilters) {
    fs::create_directory(dir.dir / "tree");
    write_bytes(dir.dir / "tree" / "a.txt", "a\r\n");
    std::string tree = program_path(dir.dir / "tree");
    int rc = -5;
    EXPECT_EQ(run({"eolset", "-u", tree, "+a.txt", "+b"}, 1, &rc), "ERROR: Out of memory.\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_bytes(dir.dir / "tree" / "a.txt"), "a\r\n");
}

// Whichever heap call fails, the run ends with status 0 and either reports
// the lack of memory or leaves the file whole or converted.
TEST_F(Driver, OutOfMemoryAnywhereNeverCrashes) {
    fs::create_directory(dir.dir / "tree");
    std::string tree = program_path(dir.dir / "tree");
    for (uint64_t n = 1; n < 60; ++n) {
        write_bytes(dir.dir / "tree" / "a.txt", "a\r\n");
        int rc = -5;
        std::string out = run({"eolset", "-u", tree, "+*.txt"}, n, &rc);
        EXPECT_EQ(rc, 0) << n;
        std::string file = read_bytes(dir.dir / "tree" / "a.txt");
        EXPECT_TRUE(file == "a\r\n" || file == "a\n") << n;
        // A message whose own memory ran out is skipped; any other line is whole.
        EXPECT_TRUE(out.empty() || out.back() == '\n') << n;
    }
}

// Memory that runs out during a walk of readable folders is never taken for
// a folder that could not be read.
TEST_F(Driver, OutOfMemoryInAWalkIsNoUnreadableFolder) {
    fs::create_directories(dir.dir / "tree" / "sub" / "deeper");
    write_bytes(dir.dir / "tree" / "sub" / "deeper" / "a.txt", "a\r\n");
    write_bytes(dir.dir / "tree" / "b.txt", "b\r\n");
    std::string tree = program_path(dir.dir / "tree");
    for (uint64_t n = 1; n < 120; ++n) {
        std::string out = run({"eolset", "-t", tree}, n);
        EXPECT_EQ(out.find("folders could not be read"), std::string::npos) << n << "\n" << out;
    }
}

TEST_F(Driver, MissingFolderAndHelp) {
    EXPECT_EQ(run({"eolset"}), "ERROR: Must supply folder/file name.\n");
    EXPECT_EQ(run({"eolset", "-t", ""}), "ERROR: Must supply folder/file name.\n");
    std::string help = run({"eolset", "/?", "anything"});
    EXPECT_EQ(help.rfind("Newlinery\n", 0), 0u);
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 17);
}

// The summary prints the counts as the unsigned 64-bit numbers they are.
TEST_F(Driver, SummaryCountsPastThirtyTwoBits) {
    fs::create_directory(dir.dir / "tree");
    write_bytes(dir.dir / "tree" / "a.txt", "a\r\n");
    std::string tree = program_path(dir.dir / "tree");
    PassCounts seed{};
    seed.crlf = 0x100000005ull;
    convert_set_count_seed(&seed);
    std::string out = run({"eolset", "-t", "-u", tree});
    convert_set_count_seed(nullptr);
    EXPECT_EQ(out, tree + "\\a.txt\n1 files processed\nwould fix 4294967302 line feeds and 0 BOMs "
                          "in 1 files\n");
}

} // namespace
