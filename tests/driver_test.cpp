#include "app/convert.h"
#include "base/test_control.h"
#include "app/driver.h"
#include "base/alloc.h"
#include "engine_support.h"
#include "fileio_wine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace engine_test;

struct Driver : ::testing::Test {
    ScratchDir dir{"driver"};
    std::string err; // what the last run wrote to standard error

    // Standard output of one run; standard error goes to `err`.
    std::string run(std::vector<std::string> args, uint64_t fail_at = 0, int* status = nullptr) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        StdoutCapture capture(dir.dir / "out.txt");
        StdoutCapture errors(dir.dir / "err.txt", true);
        capture.start();
        errors.start();
        mem_fail_at(fail_at);
        int rc = run_converter(static_cast<int32_t>(args.size()), argv.data());
        mem_fail_at(0);
        err = errors.finish();
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
    std::string tree = shown_form(dir.dir / "tree");
    int rc = -5;
    EXPECT_EQ(run({"eolset", "-u", tree, "+a.txt", "+b"}, 1, &rc), "");
    EXPECT_EQ(err, "ERROR: Out of memory.\n");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(read_bytes(dir.dir / "tree" / "a.txt"), "a\r\n");
}

// Whichever heap call fails, the run never crashes and leaves each file
// whole or converted, status 0 only when all were converted, and a failure
// is always said. Once with a
// folder and a filter, once with operands after a single file.
TEST_F(Driver, OutOfMemoryAnywhereNeverCrashes) {
    fs::create_directories(dir.dir / "tree" / "sub");
    std::string tree = shown_form(dir.dir / "tree");
    const fs::path files[] = {dir.dir / "tree" / "a.txt", dir.dir / "tree" / "b.txt",
                              dir.dir / "tree" / "sub" / "c.txt"};
    const std::vector<std::string> runs[] = {{"eolset", "-u", tree, "+*.txt"},
                                             {"eolset", "-u", shown_form(files[1]),
                                              shown_form(dir.dir / "tree" / "sub"),
                                              shown_form(dir.dir / "tree" / "*.txt")}};
    for (const std::vector<std::string>& args : runs) {
        for (uint64_t n = 1; n < 90; ++n) {
            for (const fs::path& f : files) write_bytes(f, "a\r\n");
            int rc = -5;
            std::string out = run(args, n, &rc);
            bool all = true;
            for (const fs::path& f : files) {
                std::string file = read_bytes(f);
                EXPECT_TRUE(file == "a\r\n" || file == "a\n") << n;
                all = all && (file == "a\n" || (args.size() == 4 && f == files[2]));
            }
            // Memory that runs out after the files were done is still said.
            if (!all) {
                EXPECT_EQ(rc, 1) << n << "\n" << out << err;
            }
            EXPECT_EQ(rc == 1, !err.empty()) << n << "\n" << out << err;
            EXPECT_EQ(out.find("ERROR"), std::string::npos) << n;
            // A message whose own memory ran out is skipped; any other line is whole.
            EXPECT_TRUE(out.empty() || out.back() == '\n') << n;
        }
    }
}

// With -e, whichever heap call fails: no file ends in a form its repository
// does not declare, an ignored file is never touched, and a failure is said.
TEST_F(Driver, OutOfMemoryWithRepositorySettings) {
    fs::path tree = dir.dir / "repo";
    fs::create_directories(tree / ".git" / "info");
    fs::create_directories(tree / "ign");
    fs::create_directories(tree / "sub");
    // A pattern long enough that matching it takes the heap.
    // (Built by append: GCC 12 at -O3 sees a false overlap in "..." + string.)
    std::string ignore = "ign/\n*.skip\n[", attributes = "[";
    ignore.append(300, 'e').append("].long\n");
    attributes.append(300, 'k').append("].keep -text\n");
    write_bytes(tree / ".gitignore", ignore);
    write_bytes(tree / ".gitattributes", attributes);
    write_bytes(tree / "sub" / ".gitattributes", "*.crlf eol=crlf\n*.bin -text\n");
    // A repository nested in the tree: its own attributes, not the outer ones.
    fs::create_directories(tree / "nest" / ".git");
    write_bytes(tree / "nest" / ".gitattributes", "*.txt eol=crlf\n");
    // .editorconfig beside them: CR LF, a kept first mark, cr (left alone),
    // a disagreement with .gitattributes and a line not understood.
    write_bytes(tree / ".editorconfig",
                "root = true\n[*.win]\nend_of_line = crlf\n[*.ps1]\ncharset = utf-8-bom\n"
                "[*.mac]\nend_of_line = cr\n");
    write_bytes(tree / "sub" / ".editorconfig", "[*.crlf]\nend_of_line = lf\n[*.win\n");
    struct File {
        const char* name;
        const char* before;
        const char* after; // with -e -u
    } files[] = {{"a.txt", "a\r\n", "a\n"},
                 {"sub/b.crlf", "b\n", "b\r\n"},
                 {"sub/c.bin", "c\r\n", "c\r\n"},
                 {"ign/d.txt", "d\r\n", "d\r\n"},
                 {"e.skip", "e\r\n", "e\r\n"},
                 {"sub/f.txt", "f\r\n", "f\n"},
                 {"nest/g.txt", "g\n", "g\r\n"},
                 {"nest/h.skip", "h\r\n", "h\n"},
                 {"e.long", "e\r\n", "e\r\n"},
                 {"k.keep", "k\r\n", "k\r\n"},
                 {"w.win", "w\n", "w\r\n"},
                 {"m.mac", "m\r\n", "m\r\n"},
                 {"p.ps1", "\xEF\xBB\xBFp\r\n\xEF\xBB\xBFq\r\n", "\xEF\xBB\xBFp\nq\n"},
                 {"sub/x.win", "x\r\n", "x\r\n"}};
    std::string shown = shown_form(tree);
    // Every heap call of the run fails in turn, up to the count of a run
    // in which none fails.
    for (const File& f : files) write_bytes(tree / f.name, f.before);
    const uint64_t start = mem_call_count();
    run({"eolset", "-e", "-u", "-j1", shown});
    const uint64_t calls = mem_call_count() - start;
    ASSERT_GT(calls, 50u);
    for (uint64_t n = 0; n <= calls; ++n) {
        for (const File& f : files) write_bytes(tree / f.name, f.before);
        int rc = -5;
        std::string out = run({"eolset", "-e", "-u", "-j1", shown}, n, &rc);
        bool all = true;
        for (const File& f : files) {
            std::string bytes = read_bytes(tree / f.name);
            EXPECT_TRUE(bytes == f.before || bytes == f.after) << n << " " << f.name;
            all = all && bytes == f.after;
        }
        if (!all) {
            EXPECT_EQ(rc, 1) << n << "\n" << out << err;
        }
        // Warnings say what -e chose; only a failure is an error.
        std::string errors;
        for (size_t at = 0, end; at < err.size(); at = end + 1) {
            end = err.find('\n', at);
            if (end == std::string::npos) end = err.size();
            if (err.compare(at, 9, "WARNING: ") != 0) errors += err.substr(at, end + 1 - at);
        }
        EXPECT_EQ(rc == 1, !errors.empty()) << n << "\n" << out << err;
        if (n == 0) {
            EXPECT_TRUE(all && rc == 0) << out << err;
            EXPECT_EQ(err, "WARNING: \"" + shown_form(tree / "m.mac") +
                               "\": .editorconfig asks for CR line ends, which eolset does not "
                               "write; left alone.\n"
                               "WARNING: \"" +
                               shown_form(tree / "sub" / ".editorconfig") +
                               "\" line 3 is not understood; it and the lines after it are "
                               "ignored.\n"
                               "WARNING: \"" +
                               shown_form(tree / "sub" / "b.crlf") +
                               "\": .gitattributes asks for CR LF line ends and .editorconfig "
                               "for LF; it gets CR LF.\n");
        }
    }
}

// The .editorconfig files above the walk's folder are read only when no
// root = true at or below it spares them; one that is needed and cannot be
// read fails the files that need it.
TEST_F(Driver, EditorConfigAboveTheFolder) {
    fs::path parent = dir.dir / "p", proj = parent / "proj";
    fs::create_directories(proj);
    const std::string rooted = "root = true\n[*]\nend_of_line = crlf\n";
    const std::string open = "[*]\nend_of_line = crlf\n";
    const std::string bad = "WARNING: \"" + shown_form(parent / ".editorconfig") +
                            "\" line 1 is not understood; it and the lines after it are ignored.\n";
    struct Case {
        std::string above; // "": none; "loop": a link to itself
        const std::string* child;
        const char* after; // a.txt, from "a\n"
        int status;
        std::string err;
    } cases[] = {
        {"", &open, "a\r\n", 0, ""},
        {"junk\n", &rooted, "a\r\n", 0, ""},
        {"junk\n", &open, "a\r\n", 0, bad},
        {"[*]\nend_of_line = lf\n", &open, "a\r\n", 0, ""},
        {"root = true\n[*.txt]\nend_of_line = lf\n[proj/*.txt]\nend_of_line = crlf\n", nullptr,
         "a\r\n", 0, ""},
        // Read no further than 1 MiB: the line there is not understood.
        {"[*]\nend_of_line = crlf\n" + std::string(1 << 20, '#') + "\n[*]\nend_of_line = lf\n",
         nullptr, "a\r\n", 0,
         "WARNING: \"" + shown_form(parent / ".editorconfig") +
             "\" line 3 is not understood; it and the lines after it are ignored.\n"},
#ifndef _WIN32
        {"loop", &rooted, "a\r\n", 0, ""},
        {"loop", &open, "a\n", 1,
         "ERROR: Cannot read \"" + shown_form(parent / ".editorconfig") +
             "\": folder loop (error 1921).\n"},
#endif
    };
    for (const Case& c : cases) {
        fs::remove(parent / ".editorconfig");
        fs::remove(proj / ".editorconfig");
        if (c.above == "loop")
            fs::create_symlink(".editorconfig", parent / ".editorconfig");
        else if (!c.above.empty())
            write_bytes(parent / ".editorconfig", c.above);
        if (c.child) write_bytes(proj / ".editorconfig", *c.child);
        write_bytes(proj / "a.txt", "a\n");
        int rc = -1;
        std::string out = run({"eolset", "-e", "-j1", shown_form(proj / "a.txt")}, 0, &rc);
        EXPECT_EQ(read_bytes(proj / "a.txt"), c.after) << c.above.substr(0, 40) << out;
        EXPECT_EQ(rc, c.status) << c.above.substr(0, 40);
        EXPECT_EQ(err, c.err) << c.above.substr(0, 40);
    }
}

// Memory that runs out during a walk of readable folders is never taken for
// a folder that could not be read.
TEST_F(Driver, OutOfMemoryInAWalkIsNoUnreadableFolder) {
    fs::create_directories(dir.dir / "tree" / "sub" / "deeper");
    write_bytes(dir.dir / "tree" / "sub" / "deeper" / "a.txt", "a\r\n");
    write_bytes(dir.dir / "tree" / "b.txt", "b\r\n");
    std::string tree = shown_form(dir.dir / "tree");
    for (uint64_t n = 1; n < 120; ++n) {
        std::string out = run({"eolset", "-t", tree}, n);
        EXPECT_EQ(out.find("folders could not be read"), std::string::npos) << n << "\n" << out;
    }
}

// Every way of asking for help or the version, and what a lone "-" makes of them.
TEST_F(Driver, HelpVersionAndMissingFolder) {
    for (const char* ask : {"/?", "-h", "--help"}) {
        int rc = -5;
        std::string help = run({"eolset", ask, "anything"}, 0, &rc);
        EXPECT_EQ(help.rfind("Newlinery\n", 0), 0u) << ask;
        EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 26) << ask;
        EXPECT_NE(help.find("\n  -w  convert to windows text file\n"
                            "  -f  also convert binary files and version-control folders\n"),
                  std::string::npos);
        EXPECT_EQ(rc, 0);
    }
    int rc = -5;
    EXPECT_EQ(run({"eolset", "--version"}, 0, &rc), std::string("eolset ") + EOLSET_VERSION + "\n");
    EXPECT_EQ(rc, 0);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"eolset"}, {"eolset", "-t", ""}}) {
        EXPECT_EQ(run(args, 0, &rc), "");
        EXPECT_EQ(err, "ERROR: Must supply folder/file name.\n");
        EXPECT_EQ(rc, 1);
    }
    // After "-" (itself the folder) the long switches are filters like any other.
    EXPECT_EQ(run({"eolset", "-t", "-", "--help", "--version"}, 0, &rc), "");
    EXPECT_EQ(err, "ERROR: Cannot open folder \"-\": file not found (error 2).\n");
    EXPECT_EQ(rc, 1);
}

// The exit status and where each line goes: 0 only when everything selected
// is in the wanted form; errors on standard error, never on standard output.
TEST_F(Driver, StatusAndStreams) {
    fs::create_directories(dir.dir / "tree" / ".git");
    write_bytes(dir.dir / "tree" / "a.txt", "a\r\n");
    write_bytes(dir.dir / "tree" / "bin.dat", std::string("x\r\n\0y", 5));
    write_bytes(dir.dir / "tree" / ".git" / "index", "i\r\n");
    write_bytes(dir.dir / "ro.txt", "r\r\n");
    fs::permissions(dir.dir / "ro.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    std::string tree = shown_form(dir.dir / "tree");
    std::string ro = shown_form(dir.dir / "ro.txt");
    std::string missing = shown_form(dir.dir / "missing");
    const std::string s = kSep;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    } cases[] = {
        {{"eolset", "-t", "-u", tree},
         0,
         tree + s +
             "a.txt\n2 files processed\n1 binary files left alone\n"
             "would fix 1 line feeds and 0 BOMs in 1 files\n",
         ""},
        {{"eolset", "-t", "-u", "-f", tree},
         0,
         tree + s + ".git" + s + "index\n" + tree + s + "a.txt\n" + tree + s +
             "bin.dat\n3 files processed\nwould fix 3 line feeds and 0 BOMs in 3 files\n",
         ""},
        {{"eolset", "-u", ro},
         1,
         "1 files processed\n1 files could not be modified\n",
         "ERROR: Cannot modify file \"" + ro + "\": access denied (error 5).\n"},
        {{"eolset", "-u", missing},
         1,
         "",
         "ERROR: Cannot open folder \"" + missing + "\": file not found (error 2).\n"},
    };
    for (const Case& c : cases) {
        if (c.args[2] == ro && wine_writes_read_only_files()) continue;
        int rc = -5;
        EXPECT_EQ(run(c.args, 0, &rc), c.out) << c.args[2];
        EXPECT_EQ(err, c.err) << c.args[2];
        EXPECT_EQ(rc, c.status) << c.args[2];
    }
    EXPECT_EQ(read_bytes(dir.dir / "ro.txt"), "r\r\n");
}

// The summary prints the counts as the unsigned 64-bit numbers they are.
TEST_F(Driver, SummaryCountsPastThirtyTwoBits) {
    fs::create_directory(dir.dir / "tree");
    write_bytes(dir.dir / "tree" / "a.txt", "a\r\n");
    std::string tree = shown_form(dir.dir / "tree");
    PassCounts seed{};
    seed.crlf = 0x100000005ull;
    convert_set_count_seed(&seed);
    std::string out = run({"eolset", "-t", "-u", tree});
    convert_set_count_seed(nullptr);
    EXPECT_EQ(out, tree + kSep +
                       "a.txt\n1 files processed\nwould fix 4294967302 line feeds and 0 BOMs "
                       "in 1 files\n");
}

} // namespace
