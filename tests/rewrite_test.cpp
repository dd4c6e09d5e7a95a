// The streamed rewrite: any text, in windows of any size, ends as a
// whole-file conversion would leave it; and whichever call fails, or
// wherever the process stops, the file ends as it was or fully converted
// once the next run has looked at its journal.
#include "rewrite_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace engine_test;
using namespace rewrite_test;

// Text from the pieces that matter: line ends of every form, marks whole
// and split, NUL bytes, and plain runs of any length.
std::string random_text(std::mt19937* rng, size_t pieces, int flavour) {
    static const char* const kPieces[] = {"\n",       "\r\n", "\r\r\n",   "\r", "\xEF\xBB\xBF",
                                          "\xEF\xBB", "\xEF", "\xBB\xBF", "",   "abc",
                                          "x"};
    std::string s;
    std::uniform_int_distribution<int> pick(0, 10), run(0, 40);
    for (size_t i = 0; i < pieces; ++i) {
        int k = pick(*rng);
        if (flavour == 1 && k != 0) k = 9 + (k & 1); // bare line feeds only: grows in CR LF
        if (k == 8)
            s += '\0';
        else if (k == 9)
            s += std::string(static_cast<size_t>(run(*rng)), 'a' + static_cast<char>(i % 26));
        else
            s += kPieces[k];
    }
    return s;
}

struct Rewrite : RewriteFixture {};

// Random texts in windows of several sizes, both forms: the bytes and the
// counts are those of the whole-file conversion, and no journal stays.
TEST_F(Rewrite, StreamedTextIsTheWholeFileConversion) {
    std::mt19937 rng(20261209);
    for (uint64_t window : {16u, 61u, 4096u}) {
        rewrite_set_window(window, false);
        for (int i = 0; i < 60; ++i) {
            std::string input = random_text(&rng, 40 + static_cast<size_t>(i) * 37, i % 3);
            for (char flag : {'u', 'w', 'U', 'W', 'x', 'y'}) {
                SCOPED_TRACE(std::string(1, flag) + " window " + std::to_string(window) + " text " +
                             std::to_string(i));
                // Upper case: the marks are kept; x and y (u and w): the first one is.
                bool keep = flag == 'U' || flag == 'W';
                bool first = flag == 'x' || flag == 'y';
                char form = keep    ? static_cast<char>(flag - 'A' + 'a')
                            : first ? (flag == 'x' ? 'u' : 'w')
                                    : flag;
                // Half the texts begin with a mark, for the first-mark forms.
                std::string text = first && i % 2 ? "\xEF\xBB\xBF" + input : input;
                uint64_t fixes = 0, boms = 0;
                std::string want = reference(text, form == 'w', &fixes, &boms, keep, first);
                Result r = convert(text, form, true, false, keep, first);
                ASSERT_TRUE(r.bytes == want) << r.bytes.size() << " " << want.size();
                bool changed = fixes + boms != 0;
                EXPECT_EQ(r.totals.files_fixed, changed ? 1u : 0u);
                EXPECT_EQ(r.totals.line_feeds_fixed, fixes);
                EXPECT_EQ(r.totals.boms_fixed, boms);
                EXPECT_EQ(r.errors, "");
            }
        }
    }
    EXPECT_EQ(journals(), 0u);
}

#ifndef _WIN32

// Every call of the rewrite fails in turn, once (the rewrite's second try
// gets past it) and for good (the journal stays for the next run): forward,
// backward, and forward through text that grows in places, each over many
// windows, with and without the cut test. After the next run the file is
// the original or the new text, the counts said which, and no journal stays.
TEST_F(Rewrite, EveryFailedCallEndsOriginalOrConverted) {
    struct Job {
        char flag;
        std::string input;
        bool probe;
        bool keep_boms;
        bool keep_first; // the mark at the first byte stays (charset = utf-8-bom)
    };
    std::string mixed = "\xEF\xBB\xBF" + lines(300, "\r\r\n") + lines(400, "\n");
    // Marks kept through a rewrite that shrinks, and one that grows: the
    // next run, finishing from the journal, keeps them too.
    std::string marked = lines(700, "\r\n\xEF\xBB\xBF");
    const Job jobs[] = {{'u', lines(1500, "\r\n"), false, false, false},
                        {'u', lines(1500, "\r\n"), true, false, false},
                        {'w', lines(1500, "\n"), false, false, false},
                        {'w', mixed, false, false, false},
                        {'u', marked, false, true, false},
                        {'w', mixed, false, true, false},
                        {'u', mixed, false, false, true},
                        {'w', mixed, false, false, true}};
    const FaultOp ops[] = {FAULT_WRITE, FAULT_READ, FAULT_SET_INFO, FAULT_OPEN, FAULT_QUERY_INFO};
    rewrite_set_window(4096, false);
    for (const Job& job : jobs) {
        rewrite_set_window(4096, job.probe);
        uint64_t fixes = 0, boms = 0;
        const std::string want =
            reference(job.input, job.flag == 'w', &fixes, &boms, job.keep_boms, job.keep_first);
        for (FaultOp op : ops) {
            fault_reset();
            Result clean = convert(job.input, job.flag, true, false, job.keep_boms, job.keep_first);
            ASSERT_TRUE(clean.bytes == want);
            const CallLog log = g_call_log;
            uint32_t calls = op == FAULT_WRITE ? log.writes : op == FAULT_READ ? log.reads : 60;
            for (uint32_t k = 0; k < calls; ++k) {
                for (uint32_t count : {1u, 0u}) {
                    SCOPED_TRACE(std::string(1, job.flag) + (job.probe ? " probed" : "") +
                                 (job.keep_boms ? " marks kept" : "") +
                                 (job.keep_first ? " first mark kept" : "") + " op " +
                                 std::to_string(op) + " call " + std::to_string(k + 1) +
                                 (count ? " once" : " for good"));
                    fault_reset();
                    FaultRule rule;
                    rule.skip = k;
                    rule.count = count;
                    rule.error = ERROR_DISK_FULL;
                    rule.status = STATUS_DISK_FULL;
                    fault_set(op, rule);
                    Result r =
                        convert(job.input, job.flag, true, false, job.keep_boms, job.keep_first);
                    fault_reset();
                    bool converted = r.bytes == want;
                    if (r.totals.files_fixed) {
                        EXPECT_TRUE(converted);
                    }
                    if (!journals()) {
                        EXPECT_TRUE(converted || r.bytes == job.input);
                    }
                    bool ok = false;
                    std::string said = recover(&ok);
                    EXPECT_TRUE(ok) << said;
                    std::string after = read_bytes(file);
                    EXPECT_TRUE(after == want || after == job.input) << after.size();
                    EXPECT_EQ(journals(), 0u);
                    if (!converted && after == want) {
                        EXPECT_NE(said.find("Finished the interrupted rewrite of \""),
                                  std::string::npos);
                    }
                    if (!r.printed.empty()) {
                        EXPECT_EQ(r.totals.files_fixed, 1u);
                    }
                }
            }
        }
    }
}

// A journal is the owner's alone, in a folder only the owner can enter;
// a run with -t names it and leaves it; a journal whose file is gone is dropped.
TEST_F(Rewrite, JournalsArePrivateNamedAndDropped) {
    rewrite_set_window(64, false);
    std::string input = lines(200, "\r\n");
    FaultRule rule;
    rule.skip = 2; // past the journal's start and its magic: the first overwrite and its second try
    rule.count = 2;
    rule.error = ERROR_DISK_FULL;
    fault_set(FAULT_WRITE, rule);
    Result r = convert(input, 'u');
    fault_reset();
    EXPECT_EQ(r.totals.write_failures, 1u);
    EXPECT_NE(r.errors.find("ERROR: Could not finish rewriting \""), std::string::npos) << r.errors;
    ASSERT_EQ(journals(), 1u);
    fs::path folder = state / "eolset";
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    for (const auto& e : fs::directory_iterator(folder)) {
        ASSERT_EQ(stat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_GT(st.st_size, 0);
    }
    StdoutCapture err(scratch.dir / "stderr.txt", true);
    err.start();
    EXPECT_FALSE(rewrite_recover(true));
    EXPECT_NE(err.finish().find("was cut short; a run without -t finishes it"), std::string::npos);
    EXPECT_EQ(journals(), 1u);
    fs::remove(file);
    bool ok = false;
    EXPECT_NE(recover(&ok).find("is dropped: the file is gone"), std::string::npos);
    EXPECT_TRUE(ok);
    EXPECT_EQ(journals(), 0u);
}

// No folder for journals can be made, in the state folder or in the
// temporary one: the file stays as it was and is named, not blamed.
TEST_F(Rewrite, NoJournalFolderLeavesTheFileAlone) {
#ifdef _WIN32
    const char* const temp_var = "TMP";
#else
    const char* const temp_var = "TMPDIR";
#endif
    const char* was = getenv(temp_var);
    const std::string was_temp = was ? was : "";
    write_bytes(state, "a file where the folder would go");
    put_env(temp_var, (state / "tmp").string().c_str());
    rewrite_release_window();
    std::string input = lines(50, "\r\n");
    Result r = convert(input, 'u');
    put_env(temp_var, was ? was_temp.c_str() : nullptr);
    EXPECT_TRUE(r.bytes == input);
    EXPECT_EQ(r.totals.write_failures, 1u);
    EXPECT_EQ(r.errors, "ERROR: Cannot modify file \"" + shown_form(file) + "\".\n");
}

// The free-space check counts what the file has allocated: a sparse file
// whose text would fill its holes on a small volume is left whole.
TEST_F(Rewrite, SparseFileOnASmallVolumeIsLeftWhole) {
    fs::path mnt = scratch.dir / "small";
    fs::create_directory(mnt);
    std::string cmd = "mount -t tmpfs -o size=4m tmpfs '" + mnt.string() + "' 2>/dev/null";
    if (system(cmd.c_str()) != 0) GTEST_SKIP() << "no permission to mount a small file system";
    fs::path sparse = mnt / "sparse.txt";
    std::string head = lines(500, "\r\n");
    write_bytes(sparse, head);
    fs::resize_file(sparse, 16u << 20);
    std::string saved = path;
    path = program_path(sparse);
    file = sparse;
    Result r = convert("", 'u', false);
    struct stat st;
    stat(sparse.c_str(), &st);
    EXPECT_EQ(r.totals.write_failures, 1u);
    EXPECT_EQ(r.bytes.size(), 16u << 20);
    EXPECT_TRUE(r.bytes.compare(0, head.size(), head) == 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 1u << 20); // the holes are still holes
    EXPECT_EQ(journals(), 0u);
    EXPECT_EQ(system(("umount '" + mnt.string() + "'").c_str()), 0);
    path = saved;
}

#endif

} // namespace
