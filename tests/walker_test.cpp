#include "base/walker.h"
#include "base/test_control.h"

#include "base/alloc.h"
#include "base/runtime/signal.h"
#include "tests/scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#endif

namespace {

// One walker_next result, written as the tests expect it: the path relative
// to the root, a trailing backslash for folders, and "#<error> " in front
// of an error.
struct Step {
    ErrorCode err;
    std::string text;
};

std::string describe(const FolderWalker* w, ErrorCode err, const char* path, uint64_t name_offset,
                     const FileEntry* entry) {
    std::string s;
    if (err != 0) {
        s += '#';
        s += std::to_string(err);
        s += ' ';
    }
    if (path) {
        EXPECT_GT(name_offset, 0u);
        EXPECT_EQ(path[name_offset - 1], '\\') << path;
        s += path + w->root_offset;
        if (entry && entry->is_directory) s += "\\";
    }
    return s;
}

// Walks to the end (or `limit` results) and lists what came out.
std::vector<std::string> walk_all(FolderWalker* w, int limit = 1000) {
    std::vector<std::string> out;
    for (int i = 0; i < limit; ++i) {
        const char* path = nullptr;
        uint64_t off = 0;
        FileEntry* entry = nullptr;
        ErrorCode err = walker_next(w, &path, &off, &entry);
        if (err == ERR_NO_MORE_FILES) {
            EXPECT_EQ(path, nullptr);
            EXPECT_EQ(entry, nullptr);
            // The walk stays over.
            EXPECT_EQ(walker_next(w, &path, &off, &entry), ERR_NO_MORE_FILES);
            return out;
        }
        out.push_back(describe(w, err, path, off, entry));
    }
    ADD_FAILURE() << "the walk did not end";
    return out;
}

std::vector<std::string> walk_tree(const ScratchDir& dir, std::vector<const char*> filters = {},
                                   Signal* cancel = nullptr, int32_t flags = 0,
                                   const std::string& rel = "") {
    filters.push_back(nullptr);
    FolderWalker* w = nullptr;
    ErrorCode err = walker_create(&w, cancel, dir.path(rel).c_str(), flags, filters.data());
    if (err != 0) {
        EXPECT_EQ(w, nullptr);
        std::string s = "#create ";
        s += std::to_string(err);
        return {s};
    }
    std::vector<std::string> out = walk_all(w);
    walker_release(w);
    return out;
}

using Names = std::vector<std::string>;

TEST(Walker, EmptyRoot) {
    ScratchDir dir;
    EXPECT_EQ(walk_tree(dir), Names{});
}

TEST(Walker, NameOrder) {
    ScratchDir dir;
    for (const char* n : {"b.txt", "a.txt", "sub.txt", "aB", "a_b"}) dir.write(n, "x");
#ifndef _WIN32
    // Windows file systems cannot hold both.
    dir.write("A.txt", "x");
#endif
    dir.mkdir("sub");
    dir.write("sub/x.txt", "x");
    dir.write("sub/Y.txt", "x");
    // Folded first (a_b: U+005F before b), exact for ties (A before a); a
    // folder's contents come at the folder's own place, before sub.txt.
    Names want = {"A.txt", "a.txt",      "a_b",        "aB",     "b.txt",
                  "sub\\", "sub\\x.txt", "sub\\Y.txt", "sub.txt"};
#ifdef _WIN32
    want.erase(want.begin());
#endif
    EXPECT_EQ(walk_tree(dir), want);
}

// Version-control folders, in any case, are handed out as folders but never
// entered, whatever the filters say; a file of such a name, and names that
// only begin like one, are walked as usual. Walking from inside one,
// everything is.
TEST(Walker, VersionControlFoldersAreNotEntered) {
    ScratchDir dir;
    for (const char* folder : {".git", ".Hg", ".svn", ".bzr", "_darcs", "CVS", ".gitx", "cvsy"}) {
        dir.mkdir(folder);
        dir.write(std::string(folder) + "/f", "x");
    }
    dir.mkdir("sub/.git/objects");
    dir.write("sub/.git/objects/o", "x");
    dir.write("sub/.svn", "a file");
    Names skipped = {".bzr\\", ".git\\",      ".gitx\\",  ".gitx\\f", ".Hg\\",
                     ".svn\\", "_darcs\\",    "CVS\\",    "cvsy\\",   "cvsy\\f",
                     "sub\\",  "sub\\.git\\", "sub\\.svn"};
    EXPECT_EQ(walk_tree(dir, {}, nullptr, WALK_SKIP_VCS), skipped);
    EXPECT_EQ(walk_tree(dir, {"+**.git/**"}, nullptr, WALK_SKIP_VCS),
              (Names{".git\\", "sub\\", "sub\\.git\\"}));
    EXPECT_EQ(walk_tree(dir, {}).size(), skipped.size() + 8);
    EXPECT_EQ(walk_tree(dir, {}, nullptr, WALK_SKIP_VCS, "sub/.git"),
              (Names{"objects\\", "objects\\o"}));
    EXPECT_EQ(walk_tree(dir, {}, nullptr, WALK_SKIP_VCS, "sub/.git/objects"), Names{"o"});
}

// The order of one folder's records, independent of any file system.
TEST(Walker, EntryOrder) {
    std::vector<std::string> paths = {"C:\\r\\b.txt", "C:\\r\\sub.txt",  "C:\\r\\a.txt",
                                      "C:\\r\\aB",    "C:\\r\\A.txt",    "C:\\r\\sub",
                                      "C:\\r\\a_b",   "C:\\r\\\xc3\xa9", "C:\\r\\\xc3\x89"};
    std::vector<std::vector<char>> storage;
    JiRecord* root = nullptr;
    for (const std::string& p : paths) {
        storage.emplace_back(LEVEL_ENTRY_HEAD + p.size() + 1, 0);
        LevelEntry* r = reinterpret_cast<LevelEntry*>(storage.back().data());
        memcpy(r->path, p.c_str(), p.size() + 1);
        ji_add(&root, entry_order, r, &r->links);
    }
    Names got;
    ji_pos_t pos;
    for (JiRecord* r = ji_first(&pos, &root); r; r = ji_next(&pos))
        got.push_back(reinterpret_cast<LevelEntry*>(r)->path + 5);
    EXPECT_EQ(got, (Names{"A.txt", "a.txt", "a_b", "aB", "b.txt", "sub", "sub.txt", "\xc3\x89",
                          "\xc3\xa9"}));
}

TEST(Walker, FoldersComeJustBeforeTheirFirstSelectedEntry) {
    ScratchDir dir;
    dir.mkdir("src");
    dir.write("src/x.cpp", "");
    dir.write("src/y.h", "");
    dir.mkdir("a/b/c");
    dir.write("a/b/c/d.cpp", "");
    dir.write("a/b/e.h", "");
    dir.write("a/f.h", "");
    dir.mkdir("empty/deeper");
    dir.write("empty/deeper/z.h", "");
    EXPECT_EQ(walk_tree(dir, {"+**.cpp"}),
              (Names{"a\\", "a\\b\\", "a\\b\\c\\", "a\\b\\c\\d.cpp", "src\\", "src\\x.cpp"}));
    // Selected folders come at once, before their contents.
    EXPECT_EQ(walk_tree(dir, {"+src"}), (Names{"src\\", "src\\x.cpp", "src\\y.h"}));
    // Without filters, everything, in pre-order.
    EXPECT_EQ(walk_tree(dir), (Names{"a\\", "a\\b\\", "a\\b\\c\\", "a\\b\\c\\d.cpp", "a\\b\\e.h",
                                     "a\\f.h", "empty\\", "empty\\deeper\\", "empty\\deeper\\z.h",
                                     "src\\", "src\\x.cpp", "src\\y.h"}));
}

TEST(Walker, ExcludedFoldersAreNotEnteredUnlessALaterIncludeReachesIn) {
    ScratchDir dir;
    dir.mkdir("samples/keep");
    dir.mkdir("x.sh");
    dir.write("samples/keep/a.txt", "");
    dir.write("samples/other.txt", "");
    dir.write("samples/c.cpp", "");
    dir.write("x.sh/y.cpp", "");
    dir.write("x.sh/y.txt", "");
    dir.write("run.sh", "");
    dir.write("b.cpp", "");
    EXPECT_EQ(walk_tree(dir, {"-**.sh", "+**.cpp", "-samples/**"}),
              (Names{"b.cpp", "x.sh\\", "x.sh\\y.cpp"}));
    EXPECT_EQ(walk_tree(dir, {"-samples/**", "+samples/keep/**"}),
              (Names{"b.cpp", "run.sh", "samples\\", "samples\\keep\\", "samples\\keep\\a.txt",
                     "x.sh\\", "x.sh\\y.cpp", "x.sh\\y.txt"}));
    EXPECT_EQ(walk_tree(dir, {"+"}), Names{});
}

TEST(Walker, HandedOutPathsStayValidWhileTheirFolderIsWalked) {
    ScratchDir dir;
    dir.mkdir("a/b");
    dir.write("a/b/1.txt", "");
    dir.write("a/b/2.txt", "");
    dir.write("a/z.txt", "");
    FolderWalker* w = nullptr;
    ASSERT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, nullptr), 0);
    const char* folder = nullptr;
    FileEntry* folder_entry = nullptr;
    uint64_t off = 0;
    ASSERT_EQ(walker_next(w, &folder, &off, &folder_entry), 0);
    std::string copy = folder;
    EXPECT_EQ(std::string(folder + off), "a");
    ASSERT_NE(folder_entry, nullptr);
    EXPECT_TRUE(folder_entry->is_directory);
    const char* p = nullptr;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(walker_next(w, &p, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(p + w->root_offset), "a\\z.txt");
    EXPECT_EQ(std::string(folder), copy);
    EXPECT_TRUE(folder_entry->is_directory);
    walker_release(w);
}

TEST(Walker, CreationFailures) {
    ScratchDir dir;
    dir.write("file.txt", "");
    FolderWalker* w = reinterpret_cast<FolderWalker*>(&dir);
    EXPECT_NE(walker_create(&w, nullptr, dir.path("missing").c_str(), 0, nullptr), 0);
    EXPECT_EQ(w, nullptr);
    w = reinterpret_cast<FolderWalker*>(&dir);
    EXPECT_NE(walker_create(&w, nullptr, dir.path("file.txt").c_str(), 0, nullptr), 0);
    EXPECT_EQ(w, nullptr);
    w = reinterpret_cast<FolderWalker*>(&dir);
    EXPECT_NE(walker_create(&w, nullptr, dir.path("*.txt").c_str(), 0, nullptr), 0);
    EXPECT_EQ(w, nullptr);
}

TEST(Walker, CancelSignal) {
    ScratchDir dir;
    dir.write("a.txt", "");
    dir.mkdir("sub");
    dir.write("sub/b.txt", "");
    dir.write("z.txt", "");
    Signal cancel;
    signal_init(&cancel);
    signal_set(&cancel);
    EXPECT_EQ(walk_tree(dir, {}, &cancel), Names{"#create 1223"});

    // Set during the walk: the next folder read fails and the walk ends.
    signal_reset(&cancel);
    FolderWalker* w = nullptr;
    ASSERT_EQ(walker_create(&w, &cancel, dir.path().c_str(), 0, nullptr), 0);
    const char* p = nullptr;
    ASSERT_EQ(walker_next(w, &p, nullptr, nullptr), 0);
    signal_set(&cancel);
    EXPECT_EQ(walk_all(w), (Names{"#1223 sub\\"}));
    walker_release(w);

    // A constant clear signal never cancels.
    Signal never;
    signal_init_constant(&never, false);
    signal_set(&never);
    EXPECT_EQ(walk_tree(dir, {}, &never).size(), 4u);
}

TEST(Walker, LinkToAnAncestorIsReportedOnceAndTheWalkGoesOn) {
    ScratchDir dir;
    dir.mkdir("a/b");
    dir.write("a/b/1.txt", "");
    dir.write("a/c.txt", "");
    dir.write("z.txt", "");
    if (!dir.symlink(dir.path("a"), "a/b/up", true)) GTEST_SKIP() << "no symbolic links here";
    EXPECT_EQ(walk_tree(dir), (Names{"a\\", "a\\b\\", "a\\b\\1.txt", "#1921 a\\b\\up\\",
                                     "a\\b\\up\\", "a\\c.txt", "z.txt"}));
    // Not selected: only the report.
    EXPECT_EQ(walk_tree(dir, {"+**.txt"}),
              (Names{"a\\", "a\\b\\", "a\\b\\1.txt", "#1921 a\\b\\up\\", "a\\c.txt", "z.txt"}));
}

// Links are followed only within the root folder: a link to a folder or a
// file elsewhere is neither entered nor handed out, and counted when the
// filters would have taken it.
TEST(Walker, LinksLeadingOutsideTheFolderAreNotFollowed) {
    ScratchDir dir;
    ScratchDir elsewhere;
    elsewhere.mkdir("d");
    elsewhere.write("d/x.cpp", "");
    elsewhere.write("t.cpp", "");
    dir.mkdir("sub");
    dir.write("sub/in.cpp", "");
    dir.write("a.cpp", "");
    if (!dir.symlink(elsewhere.path("d"), "out", true) ||
        !dir.symlink(elsewhere.path("t.cpp"), "file.cpp", false) ||
        !dir.symlink(dir.path("sub"), "within", true) ||
        !dir.symlink(dir.path("a.cpp"), "same.cpp", false))
        GTEST_SKIP() << "no symbolic links here";
    FolderWalker* w = nullptr;
    ASSERT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, nullptr), 0);
    EXPECT_EQ(walk_all(w),
              (Names{"a.cpp", "same.cpp", "sub\\", "sub\\in.cpp", "within\\", "within\\in.cpp"}));
    EXPECT_EQ(w->links_outside, 2u);
    walker_release(w);

    // Only what the filters would take is counted: the link to a folder
    // cannot hold a match for +*.cpp, the file link can.
    const char* filters[] = {"+*.cpp", nullptr};
    ASSERT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, filters), 0);
    EXPECT_EQ(walk_all(w), (Names{"a.cpp", "same.cpp"}));
    EXPECT_EQ(w->links_outside, 1u);
    walker_release(w);
}

// Memory running out while a link is judged loses that entry at most:
// nothing outside the folder is ever handed out.
TEST(Walker, OutOfMemoryWhileJudgingALink) {
    ScratchDir dir;
    ScratchDir elsewhere;
    elsewhere.write("t.txt", "");
    dir.write("a.txt", "");
    if (!dir.symlink(elsewhere.path(), "out", true)) GTEST_SKIP() << "no symbolic links here";
    bool untouched = false;
    for (uint64_t n = 1; n < 400 && !untouched; ++n) {
        FolderWalker* w = nullptr;
        ASSERT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, nullptr), 0);
        uint64_t before = mem_call_count();
        mem_fail_at(n);
        Names got = walk_all(w);
        mem_fail_at(0);
        untouched = mem_call_count() - before < n;
        // Errors name the entry they lost; entries outside never come.
        for (const std::string& s : got)
            if (s[0] != '#') {
                EXPECT_EQ(s.find("out\\"), std::string::npos) << n;
            }
        if (untouched) {
            EXPECT_EQ(got, Names{"a.txt"});
            EXPECT_EQ(w->links_outside, 1u);
        }
        walker_release(w);
    }
    EXPECT_TRUE(untouched);
}

// Names as Windows gives them: a folder's own name, and anything below it,
// is within; a sibling whose name merely begins the same way is not.
TEST(Walker, ObjectNamesWithinTheRoot) {
    const std::u16string root = u"\\Device\\HarddiskVolume3\\src";
    auto within = [&](const std::u16string& t) {
        return name_within(root.data(), root.size(), t.data(), t.size());
    };
    EXPECT_TRUE(within(u"\\Device\\HarddiskVolume3\\src"));
    EXPECT_TRUE(within(u"\\Device\\HarddiskVolume3\\SRC\\a.txt"));
    EXPECT_FALSE(within(u"\\Device\\HarddiskVolume3\\src2\\a.txt"));
    EXPECT_FALSE(within(u"\\Device\\HarddiskVolume3"));
    EXPECT_FALSE(within(u"\\Device\\HarddiskVolume4\\src\\a.txt"));
    EXPECT_FALSE(name_within(nullptr, 0, root.data(), root.size()));
    // A volume mounted inside the folder names its own root.
    for (const std::u16string& v :
         {std::u16string(u"\\Device\\HarddiskVolume5"), std::u16string(u"\\??\\Z:")})
        EXPECT_TRUE(name_is_volume_root(v.data(), v.size()));
    for (const std::u16string& v :
         {std::u16string(u"\\Device\\HarddiskVolume5\\x"), std::u16string(u"\\??\\Z:\\tmp")})
        EXPECT_FALSE(name_is_volume_root(v.data(), v.size()));
}

// The root is on the path too: a link back to it is a loop like any other.
TEST(Walker, LinksBackToTheRootAreLoops) {
    ScratchDir dir;
    dir.mkdir("sub");
    dir.write("sub/a.txt", "");
    dir.write("z.txt", "");
    if (!dir.symlink(".", "self", true) || !dir.symlink("..", "sub/up", true))
        GTEST_SKIP() << "no symbolic links here";
    EXPECT_EQ(walk_tree(dir), (Names{"#1921 self\\", "self\\", "sub\\", "sub\\a.txt",
                                     "#1921 sub\\up\\", "sub\\up\\", "z.txt"}));
    EXPECT_EQ(walk_tree(dir, {"+**.txt"}),
              (Names{"#1921 self\\", "sub\\", "sub\\a.txt", "#1921 sub\\up\\", "z.txt"}));
}

TEST(Walker, DanglingLinkIsHandedOutAsItIs) {
    ScratchDir dir;
    dir.write("z.txt", "");
    if (!dir.symlink(dir.path("nowhere"), "dead", true)) GTEST_SKIP() << "no symbolic links here";
    FolderWalker* w = nullptr;
    ASSERT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, nullptr), 0);
    const char* p = nullptr;
    FileEntry* e = nullptr;
    ASSERT_EQ(walker_next(w, &p, nullptr, &e), 0);
    EXPECT_EQ(std::string(p + w->root_offset), "dead");
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(e->is_broken_link);
    EXPECT_TRUE(e->is_symlink);
    EXPECT_EQ(walk_all(w), Names{"z.txt"});
    walker_release(w);
}

TEST(Walker, OutOfMemoryAtCreation) {
    ScratchDir dir;
    dir.write("a.txt", "");
    const char* filters[] = {"+**.txt", "-/x/../y", nullptr};
    bool succeeded = false;
    for (uint64_t n = 1; n < 200 && !succeeded; ++n) {
        FolderWalker* w = reinterpret_cast<FolderWalker*>(&dir);
        mem_fail_at(n);
        ErrorCode err = walker_create(&w, nullptr, dir.path().c_str(), 0, filters);
        mem_fail_at(0);
        if (err == 0) {
            succeeded = true;
            EXPECT_EQ(walk_all(w), Names{"a.txt"});
            walker_release(w);
        } else {
            // 14, or the error the file access layer makes of a failed
            // allocation while opening the root.
            EXPECT_NE(err, ERR_NO_MORE_FILES) << n;
            EXPECT_EQ(w, nullptr);
        }
    }
    EXPECT_TRUE(succeeded);
}

// Every heap call of a walk fails in turn (once, or from then on): each
// failure is reported, nothing is handed out that a clean walk would not
// hand out, and the walk still ends.
TEST(Walker, OutOfMemoryDuringTheWalk) {
    ScratchDir dir;
    dir.mkdir("a/b");
    dir.write("a/b/1.txt", "");
    dir.write("a/z.txt", "");
    dir.write("c.txt", "");
    const Names clean = walk_tree(dir);
    ASSERT_EQ(clean, (Names{"a\\", "a\\b\\", "a\\b\\1.txt", "a\\z.txt", "c.txt"}));
    for (bool sticky : {false, true}) {
        bool untouched = false;
        for (uint64_t n = 1; n < 400 && !untouched; ++n) {
            FolderWalker* w = nullptr;
            ASSERT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, nullptr), 0);
            uint64_t before = mem_call_count();
            mem_fail_at(n, sticky);
            Names got = walk_all(w);
            mem_fail_at(0);
            uint64_t calls = mem_call_count() - before;
            walker_release(w);
            size_t errors = 0;
            for (const std::string& s : got) {
                if (s.rfind("#", 0) == 0) ++errors;
            }
            if (calls < n) {
                untouched = true;
                EXPECT_EQ(got, clean);
            } else {
                // A failure absorbed below the walker leaves the walk whole.
                if (errors == 0) {
                    EXPECT_EQ(got, clean) << "n=" << n << (sticky ? " sticky" : "");
                }
                EXPECT_LE(got.size() - errors, clean.size());
            }
        }
        EXPECT_TRUE(untouched);
    }
}

#ifndef _WIN32
// Counts the calls of one kind (opens by default) that a clean walk makes
// before the call that enters `folder`, so that a second walk can fail
// exactly the first such call made for that folder.
uint32_t opens_before_entering(const ScratchDir& dir, const std::string& folder,
                               uint32_t CallLog::*counter = &CallLog::opens) {
    fault_reset();
    FolderWalker* w = nullptr;
    EXPECT_EQ(walker_create(&w, nullptr, dir.path().c_str(), 0, nullptr), 0);
    uint32_t found = ~0u;
    for (;;) {
        uint32_t before = g_call_log.*counter;
        const char* p = nullptr;
        ErrorCode err = walker_next(w, &p, nullptr, nullptr);
        if (err != 0) break;
        if (std::string(p + w->root_offset) == folder) found = before;
    }
    walker_release(w);
    return found;
}

TEST(Walker, AFolderThatCannotBeOpenedIsReportedAndSkipped) {
    ScratchDir dir;
    dir.mkdir("a");
    dir.write("a/1.txt", "");
    dir.mkdir("b/inner");
    dir.write("b/2.txt", "");
    dir.write("b/inner/3.txt", "");
    dir.mkdir("b2");
    dir.write("b2/4.txt", "");
    dir.write("c.txt", "");
    uint32_t skip = opens_before_entering(dir, "b");
    ASSERT_NE(skip, ~0u);

    FaultRule rule;
    rule.skip = skip;
    rule.status = STATUS_ACCESS_DENIED;
    fault_reset();
    fault_set(FAULT_OPEN, rule);
    EXPECT_EQ(walk_tree(dir),
              (Names{"a\\", "a\\1.txt", "#5 b\\", "b\\", "b2\\", "b2\\4.txt", "c.txt"}));
    fault_reset();
    fault_set(FAULT_OPEN, rule);
    EXPECT_EQ(walk_tree(dir, {"+**.txt"}),
              (Names{"a\\", "a\\1.txt", "#5 b\\", "b2\\", "b2\\4.txt", "c.txt"}));
    fault_reset();
}

TEST(Walker, AFolderWhoseListingFailsIsReportedAndSkipped) {
    ScratchDir dir;
    dir.mkdir("a");
    dir.write("a/1.txt", "");
    dir.mkdir("b");
    dir.write("b/2.txt", "");
    dir.write("c.txt", "");
    uint32_t skip = opens_before_entering(dir, "b", &CallLog::dir_queries);
    ASSERT_NE(skip, ~0u);
    FaultRule rule;
    rule.skip = skip;
    rule.count = 0; // every later query: no record format works for b
    rule.status = STATUS_ACCESS_DENIED;
    fault_reset();
    fault_set(FAULT_QUERY_DIR, rule);
    EXPECT_EQ(walk_tree(dir), (Names{"a\\", "a\\1.txt", "#5 b\\", "b\\", "c.txt"}));
    fault_reset();
}

TEST(Walker, AFolderFailingDeepInsideKeepsItsUnannouncedParentsInOrder) {
    ScratchDir dir;
    dir.mkdir("p/q");
    dir.write("p/q/1.txt", "");
    dir.write("p/r.txt", "");
    uint32_t skip = opens_before_entering(dir, "p\\q");
    ASSERT_NE(skip, ~0u);
    FaultRule rule;
    rule.skip = skip;
    rule.status = STATUS_ACCESS_DENIED;
    fault_reset();
    fault_set(FAULT_OPEN, rule);
    // p\q is selected: after the report come p (not selected, announced
    // before its first selected entry), then p\q, then the rest of p.
    EXPECT_EQ(walk_tree(dir, {"+p/q", "+**.txt"}),
              (Names{"#5 p\\q\\", "p\\", "p\\q\\", "p\\r.txt"}));
    fault_reset();
}
#endif

} // namespace
