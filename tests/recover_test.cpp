// The next run's recovery: a rewrite stopped at any change is finished to
// exactly the bytes an uninterrupted one writes, and a journal or a file in
// any state but the one the rewrite left is not acted on: both stay as they
// are, the journal is named, and the run fails.
#include "rewrite_support.h"

#include "app/journal_home.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using namespace engine_test;
using namespace rewrite_test;

// Bytes as C would write them, for failure messages.
std::string escaped(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        char buf[8];
        snprintf(buf, sizeof buf, c >= 32 && c < 127 && c != '\\' ? "%c" : "\\x%02X", c);
        out += buf;
    }
    return out;
}

constexpr uint64_t kProgressRecord = sizeof(JournalHead) - offsetof(JournalHead, read);

struct Recover : RewriteFixture {
    fs::file_time_type old_time;
    uint32_t changes = 0; // the changing calls of the last conversion

    // Writes the file with an old write time, then converts it, stopping
    // (as a kill would) at the n-th change when n is not 0.
    Result killed(const std::string& input, char flag, uint32_t n, uint64_t tear = 0,
                  bool keep_time = false) {
        write_bytes(file, input);
        old_time = fs::last_write_time(file) - std::chrono::hours(50);
        old_time = fs::file_time_type(
            std::chrono::duration_cast<std::chrono::seconds>(old_time.time_since_epoch()));
        fs::last_write_time(file, old_time);
        native_stop_changes_at(n, tear);
        Result r = convert(input, flag, false, keep_time);
        changes = native_change_count();
        native_stop_changes_at(0);
        return r;
    }

    // The one journal in the state folder ("" when none).
    fs::path journal() {
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(state, ec))
            if (is_journal_proper_name(e.path().filename().string().c_str())) return e.path();
        return {};
    }
};

// The sum the journal records of the written text adds up over any split of
// a region, at any offset, so that a window's sum can be added to the rest;
// and a change of any one byte, or two words swapped, changes it.
TEST(RegionSum, AddsUpOverAnySplitAndSeesEveryChange) {
    std::mt19937_64 rng(31);
    std::vector<unsigned char> bytes(700);
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    auto sum = [&](uint64_t at, size_t lo, size_t hi) {
        return journal_region_sum(at + lo, bytes.data() + lo, hi - lo);
    };
    for (int i = 0; i < 3000; ++i) {
        uint64_t at = rng() % (1ull << 40);
        size_t a = rng() % bytes.size(), c = rng() % bytes.size();
        if (a > c) std::swap(a, c);
        size_t b = a + (c > a ? rng() % (c - a + 1) : 0);
        ASSERT_EQ(sum(at, a, b) + sum(at, b, c), sum(at, a, c)) << at << " " << a << " " << b;
    }
    const uint64_t whole = sum(5, 0, bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        unsigned char was = bytes[i];
        bytes[i] = static_cast<unsigned char>(was ^ (1u << (i % 8)));
        EXPECT_NE(sum(5, 0, bytes.size()), whole) << i;
        bytes[i] = was;
    }
    for (size_t i = 11; i + 8 <= bytes.size(); i += 8) {
        std::swap_ranges(bytes.begin() + 3, bytes.begin() + 11, bytes.begin() + i);
        EXPECT_NE(sum(5, 0, bytes.size()), whole) << i;
        std::swap_ranges(bytes.begin() + 3, bytes.begin() + 11, bytes.begin() + i);
    }
}

// Short texts of every token kind, in windows that split their tokens, are
// stopped at every change in turn, with the stopped write moving nothing or
// half its bytes (a kill cuts a write short only past a page, so never the
// journal's progress record): once the next run is over the file is its original or,
// when anything had been written, exactly the uninterrupted result, with
// its old write time under -p; no journal stays and the next run succeeds.
TEST_F(Recover, StopAtEveryChangeEndsAsAnUninterruptedRun) {
    struct Case {
        const char* text;
        char flag;
    };
    const Case cases[] = {
        {"ab\r\ncd\r\nef\r\n", 'u'},
        {"a\r\r\nb\r\r\n\r\r\nc", 'u'},
        {"a\rb\r\rc\r", 'u'},
        {"\xEF\xBB\xBF"
         "a\r\n\xEF\xBB\xBF"
         "b\xEF\xBB\r\n",
         'u'},
        {"x\n\xEF\xBB\xBFy\r\n\r\r\nz\r", 'u'},
        {"ab\ncd\nef\n", 'w'},
        {"llj\ricada\xEF\xBB\xBFx\r\nlast\r\n", 'w'},
        {"a\r\r\nb\rc\n\xEF\xBB\xBFz\r", 'w'},
        {"\r\n\xEF\xBB\xBF\r\r\n\n", 'w'},
    };
    for (const Case& c : cases) {
        const std::string input = c.text;
        const std::string want = reference(input, c.flag == 'w');
        for (uint64_t window : {5u, 6u, 7u, 64u}) {
            for (bool probe : {false, true}) {
                rewrite_set_window(window, probe);
                bool keep_time = window % 2 == 1;
                Result clean = killed(input, c.flag, 0, 0, keep_time);
                ASSERT_TRUE(clean.bytes == want);
                const uint32_t all = changes;
                for (uint32_t n = 1; n <= all; ++n) {
                    for (uint64_t tear : {uint64_t{0}, kProgressRecord}) {
                        SCOPED_TRACE(std::string(1, c.flag) + " \"" + escaped(input) +
                                     "\" window " + std::to_string(window) +
                                     (probe ? " probed" : "") + " stop " + std::to_string(n) +
                                     (tear ? " torn" : ""));
                        Result r = killed(input, c.flag, n, tear, keep_time);
                        bool ok = false;
                        std::string said = recover(&ok);
                        std::string after = read_bytes(file);
                        EXPECT_TRUE(ok) << said;
                        if (r.bytes != input) {
                            EXPECT_EQ(escaped(after), escaped(want)) << said;
                        } else {
                            EXPECT_TRUE(after == want || after == input) << said;
                        }
                        if (keep_time && after != input) {
                            EXPECT_TRUE(fs::last_write_time(file) == old_time);
                        }
                        ASSERT_EQ(journals(), 0u) << said;
                    }
                }
            }
        }
    }
}

// A journal left by a stopped rewrite, damaged in every way that matters, or
// its file changed since: neither the file nor anything else is touched,
// the journal stays as it is and is named, and the next run fails. A saved
// byte the recovery no longer needs may change: the file is then finished.
TEST_F(Recover, JournalOrFileNotAsLeftIsKeptAndNamed) {
    rewrite_set_window(64, false);
    const std::string input = lines(60, "\r\n");
    const std::string want = reference(input, false);
    fs::path other = scratch.dir / "other.txt";
    const std::string other_bytes = lines(20, "\r\n");
    write_bytes(other, other_bytes);
    killed(input, 'u', 0);
    const Result stopped = killed(input, 'u', changes / 2);
    const fs::path j = journal();
    ASSERT_FALSE(j.empty());
    ASSERT_TRUE(stopped.bytes != input && stopped.bytes != want);
    const std::string saved = read_bytes(j);
    JournalHead head{};
    ASSERT_GE(saved.size(), sizeof head);
    memcpy(&head, saved.data(), sizeof head);
    const uint64_t first_write = head.data_at + head.initial;
    ASSERT_LT(first_write, saved.size());
    // The stopped file's identity stays taken for the whole test: a file made
    // later must never be handed the same file id, or a replaced file would
    // pass for the one the journal was written for.
    fs::create_hard_link(file, scratch.dir / "held");

    enum Expect { KEPT, KEPT_OR_FINISHED, FINISHED };
    struct Damage {
        std::string what;
        std::function<void()> apply;
        Expect expect;
    };
    std::vector<Damage> table;
    auto journal_as = [&](std::string bytes) { return [&, bytes] { write_bytes(j, bytes); }; };
    for (uint64_t cut : {uint64_t{0}, uint64_t{1}, uint64_t{100}, uint64_t{159}, uint64_t{160},
                         uint64_t{161}, head.data_at - 1, head.data_at, first_write - 1})
        table.push_back({"cut to " + std::to_string(cut), journal_as(saved.substr(0, cut)), KEPT});
    for (size_t i = 0; i < head.data_at; ++i) {
        std::string bytes = saved;
        bytes[i] = static_cast<char>(bytes[i] ^ 0x10);
        table.push_back({"head or path byte " + std::to_string(i), journal_as(bytes), KEPT});
    }
    for (size_t i = head.data_at; i < saved.size(); ++i) {
        std::string bytes = saved;
        bytes[i] = static_cast<char>(bytes[i] ^ 0x01);
        table.push_back({"saved byte " + std::to_string(i), journal_as(bytes), KEPT_OR_FINISHED});
    }
    table.push_back({"oversized", [&] { fs::resize_file(j, 4u << 20); }, KEPT});
    table.push_back({"a folder", [&] { fs::remove(j), fs::create_directory(j); }, KEPT});
    table.push_back({"file restored in place", [&] { write_bytes(file, input); }, KEPT});
    // Appended bytes go behind the new text, as the rewrite itself moves them.
    table.push_back(
        {"file appended to", [&] { write_bytes(file, stopped.bytes + "more\r\n"); }, FINISHED});
    table.push_back({"file overwritten",
                     [&] {
                         std::string bytes = stopped.bytes;
                         bytes[head.start + 1] = 'L';
                         write_bytes(file, bytes);
                     },
                     KEPT});
    table.push_back({"file cut", [&] { write_bytes(file, stopped.bytes.substr(0, 100)); }, KEPT});
#ifndef _WIN32
    table.push_back({"a link", [&] { fs::remove(j), fs::create_symlink(other, j); }, KEPT});
    table.push_back({"a FIFO", [&] { fs::remove(j), mkfifo(j.c_str(), 0600); }, KEPT});
    table.push_back({"another owner", [&] { ASSERT_EQ(chown(j.c_str(), 65534, 65534), 0); }, KEPT});
    table.push_back(
        {"a folder others may write", [&] { chmod(j.parent_path().c_str(), 0777); }, KEPT});
    table.push_back({"a folder of another owner",
                     [&] { ASSERT_EQ(chown(j.parent_path().c_str(), 65534, 65534), 0); }, KEPT});
#endif
    // Last: the file's identity changes (or may) for good.
    table.push_back({"file deleted and restored",
                     [&] {
                         fs::remove(file);
                         write_bytes(file, input);
                     },
                     KEPT});
    table.push_back({"file replaced by its copy",
                     [&] {
                         fs::path copy = scratch.dir / "copy";
                         write_bytes(copy, stopped.bytes);
                         fs::rename(copy, file);
                     },
                     KEPT});
    for (const Damage& d : table) {
        SCOPED_TRACE(d.what);
        std::error_code ec;
        fs::remove_all(j, ec);
        write_bytes(j, saved);
        write_bytes(file, stopped.bytes);
        fs::permissions(j.parent_path(), fs::perms::owner_all, ec);
#ifndef _WIN32
        ASSERT_EQ(chown(j.parent_path().c_str(), getuid(), getgid()), 0);
#endif
        d.apply();
        const std::string file_before = read_bytes(file);
        const bool was_regular = fs::is_regular_file(fs::symlink_status(j));
        const std::string journal_before = was_regular ? read_bytes(j) : "";
        bool ok = true;
        std::string said = recover(&ok);
        std::string after = read_bytes(file);
        EXPECT_TRUE(read_bytes(other) == other_bytes);
        if (d.expect == FINISHED) {
            EXPECT_TRUE(ok) << said;
            EXPECT_EQ(escaped(after), escaped(want + "more\r\n"));
            continue;
        }
        if (d.expect == KEPT_OR_FINISHED && after == want) {
            EXPECT_TRUE(ok) << said;
            EXPECT_FALSE(fs::exists(fs::symlink_status(j)));
            continue;
        }
        EXPECT_FALSE(ok) << said;
        EXPECT_TRUE(after == file_before) << said;
        EXPECT_TRUE(fs::exists(fs::symlink_status(j))) << said;
        if (was_regular) {
            EXPECT_TRUE(read_bytes(j) == journal_before);
        }
        std::string named =
            d.what.rfind("a folder ", 0) == 0 ? shown_form(j.parent_path()) : shown_form(j);
        EXPECT_NE(said.find("ERROR: "), std::string::npos) << said;
        EXPECT_NE(said.find(named), std::string::npos) << said;
    }
}

// A rewrite stopped while its journal stood in any of the places journals
// may be kept is finished by a run that would keep its own elsewhere (the
// first place usable again): every place is looked in, not the chosen one
// alone.
TEST_F(Recover, JournalInAnyPlaceIsFinished) {
#ifdef _WIN32
    const char* const vars[] = {"EOLSET_STATE_DIR", "LOCALAPPDATA", "TMP"};
#else
    const char* const vars[] = {"EOLSET_STATE_DIR", "XDG_STATE_HOME", "TMPDIR"};
#endif
    const char* const was = getenv(vars[2]);
    const std::string was_temp = was ? was : "";
    write_bytes(scratch.dir / "blocked", "x"); // where a folder would have to be
    const fs::path places[] = {scratch.dir / "set", state, scratch.dir / "tmp"};
    fs::create_directory(places[2]);
    const std::string input = lines(300, "\r\n");
    rewrite_set_window(256, false);
    for (int place = 0; place < 3; ++place) {
        SCOPED_TRACE(place);
        // The places before this one cannot be made.
        for (int p = 0; p < 3; ++p)
            put_env(vars[p],
                    (p < place ? scratch.dir / "blocked" / "x" : places[p]).string().c_str());
        journal_forget_folder();
        killed(input, 'u', 0);
        killed(input, 'u', changes / 2);
        size_t held = 0;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(places[place], ec))
            held += is_journal_proper_name(e.path().filename().string().c_str());
        ASSERT_EQ(held, 1u);
        for (int p = 0; p < 3; ++p) put_env(vars[p], places[p].string().c_str());
        journal_forget_folder();
        bool ok = false;
        std::string said = recover(&ok);
        EXPECT_TRUE(ok) << said;
        EXPECT_TRUE(read_bytes(file) == reference(input, false)) << said;
        held = 0;
        for (const fs::path& f : places)
            for (const auto& e : fs::recursive_directory_iterator(f, ec))
                held += is_journal_proper_name(e.path().filename().string().c_str());
        EXPECT_EQ(held, 0u);
    }
    put_env(vars[0], nullptr);
    put_env(vars[2], was ? was_temp.c_str() : nullptr);
    journal_forget_folder();
}

#ifndef _WIN32

// Another program appends to the file while it shrinks, and the rewrite is
// stopped at every change after: the appended bytes end behind the new text
// exactly once, whichever step the stop came in.
fs::path g_appended_to;
int g_append_at_read = 0;
bool g_appended = false;
const char kAppended[] = "appended\r\n";

void append_once(bool write, uint32_t call) {
    if (write || g_append_at_read == 0 || call < static_cast<uint32_t>(g_append_at_read)) return;
    g_append_at_read = 0;
    g_appended = true;
    std::ofstream(g_appended_to, std::ios::binary | std::ios::app) << kAppended;
}

TEST_F(Recover, AppendedBytesMovedExactlyOnceAtEveryStop) {
    rewrite_set_window(64, false);
    const std::string input = lines(40, "\r\n");
    const std::string want = reference(input, false);
    g_appended_to = file;
    fault_reset();
    killed(input, 'u', 0);
    const int reads = static_cast<int>(g_call_log.reads);
    for (int at_read : {3, reads / 2, reads}) {
        fault_reset(); // disarms the hook too
        g_transfer_hook = append_once;
        g_append_at_read = at_read;
        Result clean = killed(input, 'u', 0);
        ASSERT_EQ(escaped(clean.bytes), escaped(want + kAppended));
        const uint32_t all = changes;
        for (uint32_t n = 1; n <= all; ++n) {
            SCOPED_TRACE("append at read " + std::to_string(at_read) + ", stop " +
                         std::to_string(n));
            fault_reset();
            g_transfer_hook = append_once;
            g_append_at_read = at_read;
            g_appended = false;
            Result r = killed(input, 'u', n);
            g_append_at_read = 0;
            const std::string tail = g_appended ? kAppended : "";
            bool ok = false;
            std::string said = recover(&ok);
            EXPECT_TRUE(ok) << said;
            std::string after = read_bytes(file);
            if (after != input + tail) {
                EXPECT_EQ(escaped(after), escaped(want + tail)) << said;
            }
            ASSERT_EQ(journals(), 0u);
        }
    }
    // Stopped once the file is cut, before its journal goes, then appended
    // to by more than the cut took off: the appended bytes are not taken for
    // the rest of the old text.
    fault_reset();
    killed(input, 'u', 0);
    Result cut = killed(input, 'u', changes);
    ASSERT_TRUE(cut.bytes == want);
    const std::string more(input.size() - want.size() + 5, 'm');
    write_bytes(file, want + more);
    bool ok = true;
    std::string said = recover(&ok);
    std::string after = read_bytes(file);
    EXPECT_TRUE(after == want + more) << said;
    EXPECT_EQ(ok, journals() == 0) << said;
}

#endif

} // namespace
