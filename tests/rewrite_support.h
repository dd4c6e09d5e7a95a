// Helpers for the tests of the rewrite and of its recovery: the whole-text
// conversion the rewrite must match, and a fixture that converts one scratch
// file with its journals in a scratch state folder, then runs the next
// run's recovery, capturing what each says.
#pragma once

#include "app/convert.h"
#include "base/test_control.h"
#include "app/journal.h"
#include "app/options.h"
#include "app/tally.h"
#include "app/recover.h"
#include "app/rewrite.h"
#include "engine_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifndef _WIN32
#endif

namespace rewrite_test {

using namespace engine_test;

// The conversion of a whole text, one token at a time.
// With `keep_boms` the marks stay as they are, uncounted; with
// `keep_first` the one at the first byte does.
inline std::string reference(const std::string& in, bool windows, uint64_t* fixes, uint64_t* boms,
                             bool keep_boms = false, bool keep_first = false) {
    std::string out;
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == 0xEF && in.compare(i, 3, "\xEF\xBB\xBF") == 0) {
            bool keep = keep_boms || (keep_first && i == 0);
            if (keep) out += "\xEF\xBB\xBF";
            if (!keep) ++*boms;
            i += 3;
            continue;
        }
        size_t n = 0;
        if (c == '\n')
            n = 1;
        else if (c == '\r' && in.compare(i, 2, "\r\n") == 0)
            n = 2;
        else if (c == '\r' && in.compare(i, 3, "\r\r\n") == 0)
            n = 3;
        else if (c == '\r')
            n = 1;
        if (!n) {
            out += in[i++];
            continue;
        }
        std::string end = windows ? "\r\n" : "\n";
        if (in.compare(i, n, end) != 0 || n != end.size()) ++*fixes;
        out += end;
        i += n;
    }
    return out;
}

inline std::string reference(const std::string& in, bool windows) {
    uint64_t fixes = 0, boms = 0;
    return reference(in, windows, &fixes, &boms);
}

inline std::string lines(int n, const char* end) {
    std::string s;
    for (int i = 0; i < n; ++i) s += "line " + std::to_string(i) + end;
    return s;
}

struct RewriteFixture : ::testing::Test {
    ScratchDir scratch{"rewrite"};
    fs::path file = scratch.dir / "file.txt";
    fs::path state = scratch.dir / "state";
    std::string path = program_path(file);

    void SetUp() override {
        native_stop_changes_at(0);
#ifdef _WIN32
        SetEnvironmentVariableW(L"LOCALAPPDATA", state.wstring().c_str());
#else
        fault_reset();
        setenv("XDG_STATE_HOME", state.c_str(), 1);
#endif
    }
    void TearDown() override {
        native_stop_changes_at(0);
#ifndef _WIN32
        fault_reset();
        unsetenv("XDG_STATE_HOME");
#endif
        rewrite_set_window(0, false);
        rewrite_release_window();
    }

    struct Result {
        std::string bytes;
        RunCounts totals;
        std::string printed;
        std::string errors;
    };

    // Converts the file (written first with `input` unless `write` is
    // false) as a run with -u or -w, and -p when asked, would.
    Result convert(const std::string& input, char flag, bool write = true, bool keep_time = false,
                   bool keep_boms = false, bool keep_first = false) {
        if (write) write_bytes(file, input);
        Result r{};
        Options o{};
        o.to_unix = flag == 'u';
        o.to_windows = flag == 'w';
        o.preserve_time = keep_time;
        o.keep_boms = keep_boms;
        o.force = true;
        FileEntry entry{};
        StdoutCapture out(scratch.dir / "stdout.txt");
        StdoutCapture err(scratch.dir / "stderr.txt", true);
        out.start();
        err.start();
        Tally tally{&r.totals, {}, NAMES_LINES};
        tally_convert(&tally, &o, path.c_str(), &entry,
                      keep_first ? static_cast<FileWant>(WANT_RUN | WANT_KEEP_FIRST_BOM)
                                 : WANT_RUN);
        tally_release(&tally);
        r.errors = err.finish();
        r.printed = out.finish();
        r.bytes = read_bytes(file);
        return r;
    }

    // What the next run does first, and what it says.
    std::string recover(bool* ok, bool list_only = false) {
        StdoutCapture err(scratch.dir / "stderr.txt", true);
        err.start();
        *ok = rewrite_recover(list_only);
        return err.finish();
    }

    // The journals and spares in the state folder.
    size_t journals() {
        size_t n = 0;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(state, ec))
            n += is_journal_name(e.path().filename().string().c_str());
        return n;
    }
};

} // namespace rewrite_test
