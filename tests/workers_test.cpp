// Runs on worker threads against runs of one file after another: the same
// lines, counts, status and files, whatever the threads do.
#include "base/test_control.h"
#include "app/driver.h"
#include "app/rewrite.h"
#include "app/workers.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32

#include <cstdlib>
#include <sys/stat.h>
#endif

namespace {

using namespace engine_test;

struct Outcome {
    std::string out, err;
    int status;
};

struct Workers : ::testing::Test {
    ScratchDir dir{"workers"};

    void SetUp() override {
#ifndef _WIN32
        setenv("XDG_STATE_HOME", (dir.dir / "state").c_str(), 1);
#endif
        rewrite_set_window(4096, false); // large files span many windows
    }
    void TearDown() override {
        rewrite_set_window(0, false);
#ifndef _WIN32
        g_transfer_hook = nullptr;
        unsetenv("XDG_STATE_HOME");
#endif
    }

    Outcome run(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        StdoutCapture out(dir.dir / "out.txt");
        StdoutCapture err(dir.dir / "err.txt", true);
        out.start();
        err.start();
        Outcome r;
        r.status = run_converter(static_cast<int32_t>(args.size()), argv.data());
        r.err = err.finish();
        r.out = out.finish();
        return r;
    }

    // Every file below `root` and its bytes.
    static std::map<std::string, std::string> files(const fs::path& root) {
        std::map<std::string, std::string> all;
        for (const auto& e : fs::recursive_directory_iterator(root))
            if (e.is_regular_file() && !e.is_symlink())
                all[fs::relative(e.path(), root).generic_string()] = read_bytes(e.path());
        return all;
    }
};

// printf into a string (GCC 12 takes some string sums for overlapping copies).
template <class... A> std::string text_of(const char* format, A... a) {
    char buf[256];
    snprintf(buf, sizeof buf, format, a...);
    return buf;
}

// Small files of every kind, a few that span many windows, files reached
// under two names, and files that cannot be read or modified, in folders
// deep and shallow.
void make_tree(const fs::path& root, uint32_t seed) {
    std::mt19937 rng(seed);
    const char* ends[] = {"\n", "\r\n", "\r", "\r\r\n"};
    for (int i = 0; i < 90; ++i) {
        std::string text;
        int lines = static_cast<int>(rng() % 40);
        for (int l = 0; l < lines; ++l) {
            if (rng() % 17 == 0) text += "\xEF\xBB\xBF";
            text += text_of("line %d%s", l, ends[rng() % (i % 3 == 0 ? 1 : 4)]);
        }
        if (i % 23 == 5) text += std::string(1, '\0'); // binary
        fs::path p = root / text_of("d%d/s%d/f%d.txt", i % 7, i % 3, i);
        fs::create_directories(p.parent_path());
        write_bytes(p, text);
    }
    for (int i = 0; i < 3; ++i) {
        std::string big;
        for (int l = 0; l < 6000; ++l) big += (l % 5 ? "a longer line of text\r\n" : "short\n");
        write_bytes(root / text_of("big%d.txt", i), big);
    }
#ifndef _WIN32
    // A file reached three times: the later visits find it as the first left it.
    fs::create_directories(root / "links");
    fs::create_hard_link(root / "d0" / "s0" / "f0.txt", root / "links" / "again.txt");
    fs::create_hard_link(root / "d0" / "s0" / "f0.txt", root / "d6" / "again.txt");
    write_bytes(root / "d0" / "s0" / "f0.txt", "first\r\nvisit\r\n");
    // A pipe is never read, and a read-only file is not modified: both are
    // named on standard error, counted, and make the status 1.
    mkfifo((root / "d3" / "pipe.txt").c_str(), 0644);
    write_bytes(root / "d2" / "read-only.txt", "needs\r\nchanging\n");
    fs::permissions(root / "d2" / "read-only.txt", fs::perms::owner_read | fs::perms::group_read);
#endif
}

// For each mode, runs on threads print, count and leave every file as a run
// of one file after another does, run after run.
TEST_F(Workers, ThreadsPrintAndConvertAsOneAfterAnother) {
    for (const char* mode : {"-u", "-w", "-t", "-p"}) {
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE(text_of("%s round %d", mode, round));
            fs::path serial = dir.dir / "serial", threads = dir.dir / "threads";
            fs::remove_all(serial);
            fs::remove_all(threads);
            make_tree(serial, round);
            make_tree(threads, round);
            Outcome want = run({"eolset", mode, "-j1", shown_form(serial)});
            Outcome got = run({"eolset", mode, round % 2 ? "-j4" : "-j3", shown_form(threads)});
            auto same_root = [&](std::string s) {
                for (size_t at; (at = s.find(shown_form(threads))) != std::string::npos;)
                    s.replace(at, shown_form(threads).size(), shown_form(serial));
                return s;
            };
            EXPECT_EQ(same_root(got.out), want.out);
            EXPECT_EQ(same_root(got.err), want.err);
            EXPECT_EQ(got.status, want.status);
            EXPECT_EQ(files(threads), files(serial));
            EXPECT_NE(want.out.find("files processed"), std::string::npos);
#ifndef _WIN32
            EXPECT_NE(want.err.find("Cannot read file"), std::string::npos);
            if (mode[1] != 't') {
                EXPECT_NE(want.err.find("Cannot modify file"), std::string::npos);
            }
            EXPECT_EQ(want.status, 1);
#endif
        }
    }
    // The threads started, and their hand-overs seldom had to wake a sleeper.
    CrewStats stats = crew_stats();
    EXPECT_EQ(stats.threads, 3u); // and the walk's own
    EXPECT_GT(stats.jobs, 90u);
}

#ifndef _WIN32
std::atomic<uint32_t> g_interrupt_at{0};

// Ctrl-C at the chosen write, from whichever thread makes it.
void interrupt_at_write(bool write, uint32_t call) {
    if (write && call == g_interrupt_at.load()) console_event_for_tests(0 /* CTRL_C_EVENT */);
}

// An interrupt at any moment: the files in hand are finished, none starts
// after it, so the files converted are the first ones of the walk, and the
// lines printed are theirs and the summary.
TEST_F(Workers, InterruptFinishesTheFilesInHandAndStartsNoOther) {
    for (uint32_t at : {3u, 40u, 150u, 400u, 700u}) {
        SCOPED_TRACE(text_of("interrupted at write %u", at));
        fs::path root = dir.dir / "tree";
        fs::remove_all(root);
        fs::create_directories(root);
        std::vector<std::string> names;
        std::string text;
        for (int l = 0; l < 3000; ++l) text += "some line\r\n";
        for (int i = 0; i < 40; ++i) {
            char name[16];
            snprintf(name, sizeof name, "f%02d.txt", i);
            names.push_back(name);
            write_bytes(root / name, text);
        }
        g_interrupt_at = at + __atomic_load_n(&g_call_log.writes, __ATOMIC_RELAXED);
        g_transfer_hook = interrupt_at_write;
        Outcome r = run({"eolset", "-u", "-j4", shown_form(root)});
        g_transfer_hook = nullptr;
        size_t done = 0;
        while (done < names.size() && read_bytes(root / names[done]).size() < text.size()) ++done;
        std::string want;
        for (size_t i = 0; i < done; ++i) {
            want += shown_form(root / names[i]);
            want += "\n";
        }
        for (size_t i = done; i < names.size(); ++i)
            EXPECT_EQ(read_bytes(root / names[i]), text) << names[i];
        want += text_of("%zu files processed\n", done);
        if (done)
            want += text_of("fixed %zu line feeds and 0 BOMs in %zu files\n", 3000 * done, done);
        EXPECT_EQ(r.out, want);
        EXPECT_EQ(r.err, "interrupted\n");
        EXPECT_LT(done, names.size());
    }
}
#endif

} // namespace
