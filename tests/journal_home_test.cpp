// Where journals are kept: the first place that may be used, in order, and
// only a folder of the user's own that no one else may write; when none
// may be used, the run says so once, before any file, and fails the files
// that needed rewriting without blaming them.
#include "app/driver.h"
#include "app/journal_home.h"
#include "app/rewrite.h"
#include "base/alloc.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace engine_test;

#ifdef _WIN32
const char* const kStateVar = "LOCALAPPDATA";
const char* const kTempVar = "TMP";
#else
const char* const kStateVar = "XDG_STATE_HOME";
const char* const kTempVar = "TMPDIR";
#endif

// How a place's folder stands before the run.
enum State { UNSET, MISSING, GOOD, UNMAKEABLE, LINK, FOREIGN, OPEN };
const char* const kStateNames[] = {"unset",     "missing",           "good", "unmakeable", "a link",
                                   "another's", "writable by others"};

struct JournalHome : ::testing::Test {
    ScratchDir dir{"home"};
    std::string saved[4];
    const char* vars[4] = {"EOLSET_STATE_DIR", kStateVar, kTempVar, "HOME"};

    void SetUp() override {
        for (int i = 0; i < 4; ++i) {
            const char* v = getenv(vars[i]);
            saved[i] = v ? v : "\x01";
        }
        journal_forget_folder();
    }
    void TearDown() override {
        for (int i = 0; i < 4; ++i)
            put_env(vars[i], saved[i] == "\x01" ? nullptr : saved[i].c_str());
        journal_forget_folder();
    }

    // The folder each place names under base `b`.
    static fs::path folder_of(int place, const fs::path& b) {
        if (place == JOURNAL_PLACE_SET) return b / "set" / "journals";
        if (place == JOURNAL_PLACE_STATE) return b / "state" / "eolset";
#ifdef _WIN32
        return b / "tmp" / "eolset";
#else
        return b / "tmp" / ("eolset-" + std::to_string(geteuid()));
#endif
    }

    // Sets the place's variable and makes its folder stand as `s`.
    void arrange(int place, State s, const fs::path& b) {
        fs::path f = folder_of(place, b);
        fs::path var_value = place == JOURNAL_PLACE_SET ? f : f.parent_path();
        fs::create_directories(b);
        if (s == UNSET) {
            put_env(vars[place], nullptr);
            if (place == JOURNAL_PLACE_STATE) put_env("HOME", nullptr);
            return;
        }
        put_env(vars[place], var_value.string().c_str());
        if (s == UNMAKEABLE) {
            // A file where the folder above it would have to be.
            write_bytes(f.parent_path(), "x");
            return;
        }
        fs::create_directories(f.parent_path());
        if (s == MISSING) return;
#ifndef _WIN32
        if (s == LINK) {
            fs::create_directory(b / "real");
            chmod((b / "real").c_str(), 0700);
            fs::create_directory_symlink(b / "real", f);
            return;
        }
#endif
        fs::create_directory(f);
#ifndef _WIN32
        chmod(f.c_str(), s == OPEN ? 0777 : 0700);
        if (s == FOREIGN) {
            ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
        }
#endif
    }
};

// Every mix of how the three places stand: the first one that is missing
// (and then made, owner-only) or already good is chosen and no later one is
// made; when none is, the choice fails with the reason of the last place,
// named.
TEST_F(JournalHome, FirstUsablePlaceIsChosen) {
#ifdef _WIN32
    const std::vector<State> states = {UNSET, MISSING, GOOD, UNMAKEABLE};
#else
    const std::vector<State> states = {UNSET, MISSING, GOOD, UNMAKEABLE, LINK, FOREIGN, OPEN};
#endif
    int n = 0;
    for (State set : states)
        for (State state : states)
            for (State temp : states) {
                if (temp == UNSET) continue; // the temporary folder always has a path
                const State all[] = {set, state, temp};
                fs::path b = dir.dir / std::to_string(n++);
                std::string what;
                for (int p = 0; p < JOURNAL_PLACES; ++p) {
                    arrange(p, all[p], b);
                    what += std::string(p ? ", " : "") + kStateNames[all[p]];
                }
                SCOPED_TRACE(what);
                int want = -1;
                for (int p = 0; p < JOURNAL_PLACES && want < 0; ++p)
                    if (all[p] == MISSING || all[p] == GOOD) want = p;
                journal_forget_folder();
                char* tried = nullptr;
                ErrorCode e = journal_choose_folder(&tried);
                ErrorCode got = 0;
                char* folder = journal_shared_folder(false, &got);
                if (want < 0) {
                    EXPECT_NE(e, 0);
                    EXPECT_EQ(folder, nullptr);
                    EXPECT_EQ(got, ERR_NO_JOURNAL_FOLDER);
                    ASSERT_NE(tried, nullptr);
                    EXPECT_EQ(std::string(tried), program_path(folder_of(2, b)) + "\\");
                    if (temp == LINK || temp == FOREIGN || temp == OPEN) {
                        EXPECT_EQ(e, ERROR_INVALID_OWNER);
                    }
                } else {
                    EXPECT_EQ(e, 0);
                    ASSERT_NE(folder, nullptr);
                    EXPECT_EQ(std::string(folder), program_path(folder_of(want, b)) + "\\");
                    EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder_of(want, b))));
#ifndef _WIN32
                    struct stat st {};
                    ASSERT_EQ(stat(folder_of(want, b).c_str(), &st), 0);
                    EXPECT_EQ(st.st_mode & 0777, 0700u);
#endif
                    for (int p = want + 1; p < JOURNAL_PLACES; ++p)
                        if (all[p] == MISSING) {
                            EXPECT_FALSE(fs::exists(folder_of(p, b))) << p;
                        }
                }
                mem_free(tried);
                mem_free(folder);
            }
}

// With no place to keep journals, a run that may rewrite says so once before
// any file, names each file that needed rewriting without a reason that
// blames it, changes nothing and fails; a dry run needs no journal and
// neither says nor fails anything.
TEST_F(JournalHome, NoPlaceFailsTheRewritesAloneAndSaysWhyFirst) {
    for (int p = 0; p < JOURNAL_PLACES; ++p) arrange(p, UNMAKEABLE, dir.dir / "places");
    fs::create_directory(dir.dir / "tree");
    write_bytes(dir.dir / "tree" / "a.txt", "a\r\n");
    write_bytes(dir.dir / "tree" / "b.txt", "b\n");
    const std::string tree = shown_form(dir.dir / "tree");
    const fs::path temp = folder_of(JOURNAL_PLACE_TEMP, dir.dir / "places");
    struct Case {
        const char* flag;
        int status;
        std::string out, err;
    } cases[] = {
        {"-u", 1, "2 files processed\n1 files could not be modified\n",
         "ERROR: No folder for rewrite journals: cannot create \"" + shown_form(temp) +
             "\": path not found (error 3).\nERROR: Cannot modify file \"" + tree + kSep +
             "a.txt\".\n"},
        {"-t", 0,
         tree + kSep + "a.txt\n2 files processed\nwould fix 1 line feeds and 0 BOMs in 1 files\n",
         ""},
    };
    for (const Case& c : cases) {
        StdoutCapture out(dir.dir / "out.txt");
        StdoutCapture err(dir.dir / "err.txt", true);
        out.start();
        err.start();
        std::string args[] = {"eolset", c.flag, "-u", tree};
        char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
        int rc = run_converter(4, argv);
        EXPECT_EQ(err.finish(), c.err) << c.flag;
        EXPECT_EQ(out.finish(), c.out) << c.flag;
        EXPECT_EQ(rc, c.status) << c.flag;
        EXPECT_EQ(read_bytes(dir.dir / "tree" / "a.txt"), "a\r\n");
    }
}

} // namespace
