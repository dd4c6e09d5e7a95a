#include "base/args.h"
#include "base/test_control.h"
#include "base/path.h"
#include "base/utf.h"
#include "platform/nt.h"
#ifndef _WIN32
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string own(char* s) {
    std::string r = s ? s : "<null>";
    mem_free(s);
    return r;
}

std::string join(const char* a, const char* b) {
    return own(path_join(heap_allocator(), a, b));
}
std::string norm(const char* p) {
    return own(path_normalize(heap_allocator(), p));
}
std::string full(const char* p) {
    return own(path_full(heap_allocator(), p));
}

std::string to8(const char16_t* s) {
    std::string out(utf16_to_utf8(nullptr, 0, s, TEXT_NUL), '\0');
    utf16_to_utf8(out.data(), out.size() + 1, s, TEXT_NUL);
    return out;
}

// --- the process's current directory, driven by the test -----------------

#ifdef _WIN32
std::u16string to16(const std::string& s) {
    std::u16string out(utf8_to_utf16(nullptr, 0, s.c_str(), TEXT_NUL), u'\0');
    utf8_to_utf16(out.data(), out.size() + 1, s.c_str(), TEXT_NUL);
    return out;
}

std::string cwd_windows() {
    char16_t buf[4096];
    GetCurrentDirectoryW(4096, reinterpret_cast<WCHAR*>(buf));
    return to8(buf);
}
bool make_dir(const std::string& name) {
    return CreateDirectoryW(reinterpret_cast<const WCHAR*>(to16(name).c_str()), nullptr);
}
bool enter_dir(const std::string& name) {
    return SetCurrentDirectoryW(reinterpret_cast<const WCHAR*>(to16(name).c_str()));
}
bool remove_dir(const std::string& name) {
    return RemoveDirectoryW(reinterpret_cast<const WCHAR*>(to16(name).c_str()));
}
#else
// Drive Z: is the POSIX root.
std::string cwd_windows() {
    char buf[8192];
    std::string p = getcwd(buf, sizeof buf) ? buf : "";
    std::string w = "Z:";
    for (char c : p) w += c == '/' ? '\\' : c;
    return w.size() == 2 ? w + "\\" : w;
}
bool make_dir(const std::string& name) {
    return mkdir(name.c_str(), 0755) == 0;
}
bool enter_dir(const std::string& name) {
    return chdir(name.c_str()) == 0;
}
bool remove_dir(const std::string& name) {
    return rmdir(name.c_str()) == 0;
}
#endif

// Makes a fresh folder chain below the current directory, enters it, and on
// destruction goes back and removes it.
class TempCwd {
  public:
    explicit TempCwd(const std::vector<std::string>& chain) {
#ifdef _WIN32
        GetCurrentDirectoryW(4096, reinterpret_cast<WCHAR*>(saved_));
#else
        saved_ = getcwd(nullptr, 0);
#endif
        for (const std::string& name : chain) {
            if (!make_dir(name) && !enter_dir(name)) return;
            made_.push_back(name);
            if (!enter_dir(name)) return;
        }
        ok_ = true;
    }
    ~TempCwd() {
#ifdef _WIN32
        SetCurrentDirectoryW(reinterpret_cast<const WCHAR*>(saved_));
        std::string base = to8(saved_);
#else
        EXPECT_EQ(chdir(saved_), 0);
        std::string base = saved_;
        free(saved_);
#endif
        for (size_t n = made_.size(); n > 0; --n) {
            std::string p = base;
            for (size_t k = 0; k < n; ++k) p += "/" + made_[k];
            remove_dir(p);
        }
    }
    bool ok() const {
        return ok_;
    }

  private:
#ifdef _WIN32
    char16_t saved_[4096];
#else
    char* saved_;
#endif
    std::vector<std::string> made_;
    bool ok_ = false;
};

std::string unique_name(const char* stem) {
    static int n = 0;
#ifdef _WIN32
    unsigned long pid = GetCurrentProcessId();
#else
    unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return std::string(stem) + std::to_string(pid) + "_" + std::to_string(++n);
}

// --- joining, roots, normalising ------------------------------------------

TEST(PathJoin, Cases) {
    const struct {
        const char* a;
        const char* b;
        const char* want;
    } cases[] = {
        {"C:\\src\\", "\\a", "C:\\src\\a"},
        {"", "x", "x"},
        {nullptr, "x", "x"},
        {"", nullptr, ""},
        {"a", "**", "a\\**"},
        {"a", "", "a\\"},
        {"a", nullptr, "a\\"},
        {"a/", "/b", "a\\b"},
        {"a\\\\", "\\\\b", "a\\\\\\b"}, // only one separator is dropped on each side
        {"\\", "x", "\\x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(join(c.a, c.b), c.want) << (c.a ? c.a : "null") << " + " << (c.b ? c.b : "null");
}

TEST(PathRoot, Cases) {
    const struct {
        const char* path;
        ErrorCode err;
        uint64_t length;
        bool rooted;
    } cases[] = {
        {nullptr, 123, 0, false},
        {"", 123, 0, false},
        {"\\\\server", 123, 0, false},
        {"\\\\server\\", 123, 0, false},
        {"\\\\", 123, 0, false},
        {"\\\\\\share", 123, 0, false},
        {"\\\\=x", 123, 0, false},
        {"\\\\server\\share\\x", 0, 14, true},
        {"//server/share", 0, 14, true},
        {"\\\\?\\C:\\x", 0, 6, true},
        {"\\\\.\\pipe\\x", 0, 8, true},
        {"\\\\=\\x", 0, 3, true},
        {"//=/", 0, 3, true},
        {"\\x", 0, 0, true},
        {"/", 0, 0, true},
        {"C:\\x", 0, 2, true},
        {"c:/", 0, 2, true},
        {"C:x", 0, 2, false},
        {"C:", 0, 2, false},
        {"1:x", 0, 0, false},
        {"x\\y", 0, 0, false},
    };
    for (const auto& c : cases) {
        uint64_t length = 99;
        bool rooted = !c.rooted;
        EXPECT_EQ(path_root(c.path, &length, &rooted), c.err) << (c.path ? c.path : "null");
        EXPECT_EQ(length, c.length) << (c.path ? c.path : "null");
        EXPECT_EQ(rooted, c.rooted) << (c.path ? c.path : "null");
    }
    EXPECT_EQ(path_root("C:\\", nullptr, nullptr), 0);
    EXPECT_EQ(path_root("\\\\s", nullptr, nullptr), 123);
}

TEST(PathNormalize, Cases) {
    const struct {
        const char* path;
        const char* want;
    } cases[] = {
        {"a//b/./c/../d/", "a\\b\\d\\"},
        {"../x", "..\\x"},
        {"a/../../x", "..\\x"},
        {"C:\\..\\x", "C:\\x"},
        {"a/...", "..\\"},
        {"a/b/...", "."},
        {"../../", "..\\..\\"},
        {"x/../", ".\\"},
        {"", "<null>"},
        {"\\\\server", "<null>"},
        {".", "."},
        {"./", ".\\"},
        {"..x/.git//", "..x\\.git\\"},
        {"C:/", "C:\\"},
        {"C:", "C:"},
        {"C:a\\..\\b", "C:b"},
        {"/a//b", "\\a\\b"},
        {"\\..", "\\"},
        {"\\\\server\\share", "\\\\server\\share\\"},
        {"//server/share/a/../../b/", "\\\\server\\share\\b\\"},
        {"\\\\?\\C:\\x\\..\\y", "\\\\?\\C:\\y"},
        {"\\\\=\\a\\.\\b", "\\\\=\\a\\b"},
        {"\\\\=\\..\\..", "\\\\=\\"},
    };
    for (const auto& c : cases) EXPECT_EQ(norm(c.path), c.want) << c.path;
}

// Results around the 100-byte stack buffer, and long inputs whose short
// results are found from an upper bound.
TEST(PathNormalize, LongPaths) {
    for (size_t n : {98, 99, 100, 101, 250}) {
        std::string name(n, 'a');
        EXPECT_EQ(norm(name.c_str()), name);
        EXPECT_EQ(norm(("./" + name + "//").c_str()), name + "\\");
    }
    std::string longname(150, 'b');
    EXPECT_EQ(norm((longname + "/../c").c_str()), "c");
    EXPECT_EQ(norm(("x/" + longname + "/../../../y").c_str()), "..\\y");
    EXPECT_EQ(norm(("C:\\" + longname + "\\..\\..\\y").c_str()), "C:\\y");

    std::string in, want;
    for (int i = 0; i < 20; ++i) {
        std::string seg = "segment" + std::to_string(i);
        in += seg + "/./skip/../";
        want += (i ? "\\" : "") + seg;
    }
    EXPECT_EQ(norm(in.c_str()), want + "\\");
}

TEST(PathNormalize, IntoSmallBuffers) {
    const char* path = "a/bb/../cc/";
    char buf[32];
    uint64_t exact = path_normalize_into(path, 0, false, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, exact), "a\\cc\\");
    for (uint64_t size = 0; size < exact; ++size) {
        std::string guard(16, '#');
        memcpy(buf, guard.data(), guard.size());
        uint64_t n = path_normalize_into(path, 0, false, buf, size);
        EXPECT_GE(n, exact) << size;
        EXPECT_EQ(buf[size], '#') << "wrote past " << size; // and no terminator
    }
    // The "..\" prefix needs room for the whole result, else nothing moves.
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(path_normalize_into("../x", 0, false, buf, 3), 4u);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(path_normalize_into("../x", 0, false, buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "..\\x");
}

TEST(PathMemory, JoinAndNormalizeFail) {
    mem_fail_at(1);
    EXPECT_EQ(path_join(heap_allocator(), "a", "b"), nullptr);
    mem_fail_at(1);
    EXPECT_EQ(path_join(heap_allocator(), "", "b"), nullptr);
    mem_fail_at(1);
    EXPECT_EQ(path_normalize(heap_allocator(), "a/b"), nullptr);
    mem_fail_at(1);
    EXPECT_EQ(path_normalize(heap_allocator(), std::string(300, 'x').c_str()), nullptr);
    mem_fail_at(1);
    EXPECT_EQ(current_directory(heap_allocator()), nullptr);
    mem_fail_at(0);
}

// Every allocation path_full makes, failed in turn, gives null and no leak.
TEST(PathMemory, FullFailsAtEveryAllocation) {
    for (const char* p : {"rel\\x", "\\x", "q:x", "C:\\abs\\..\\y", ""}) {
        uint64_t before = mem_call_count();
        std::string ok = full(p);
        uint64_t calls = mem_call_count() - before;
        ASSERT_NE(ok, "<null>") << p;
        ASSERT_GT(calls, 0u) << p;
        for (uint64_t n = 1; n <= calls; ++n) {
            mem_fail_at(n);
            char* r = path_full(heap_allocator(), p);
            mem_fail_at(0);
            EXPECT_EQ(r, nullptr) << p << " failing call " << n;
            mem_free(r);
        }
    }
}

// --- full paths against the current directory ----------------------------

TEST(PathFull, AgainstTheCurrentDirectory) {
    TempCwd cwd({unique_name("pathfull")});
    ASSERT_TRUE(cwd.ok());
    const std::string w = cwd_windows();
    ASSERT_GE(w.size(), 3u);
    ASSERT_EQ(w[1], ':');
    const std::string drive = w.substr(0, 2);
    const char lower = static_cast<char>(w[0] | 0x20);
    const char other = (w[0] & ~0x20) == 'Q' ? 'R' : 'Q';

    EXPECT_EQ(own(current_directory(heap_allocator())), w);
    EXPECT_EQ(full("x\\y"), w + "\\x\\y");
    EXPECT_EQ(full("x/./y/"), w + "\\x\\y\\");
    EXPECT_EQ(full(""), w);
    EXPECT_EQ(full(nullptr), w);
    EXPECT_EQ(full("."), w);
    EXPECT_EQ(full(".."), w.substr(0, w.rfind('\\')));
    EXPECT_EQ(full("\\x"), drive + "\\x");
    EXPECT_EQ(full("/"), drive + "\\");
    // The drive matches without regard to case; the current directory's spelling wins.
    EXPECT_EQ(full((std::string(1, lower) + ":x").c_str()), w + "\\x");
    EXPECT_EQ(full((drive + "..\\x").c_str()), w.substr(0, w.rfind('\\')) + "\\x");
    // Another drive: the directory the system keeps for it, here its root.
    std::string d = own(drive_directory(heap_allocator(), other));
    EXPECT_EQ(d, std::string(1, other) + ":\\");
    EXPECT_EQ(full((std::string(1, other) + ":x").c_str()), d + "x");
    EXPECT_EQ(full((std::string(1, other) + ":").c_str()), d);
    EXPECT_EQ(own(drive_directory(heap_allocator(), w[0])), w);
    // Absolute paths do not look at the current directory.
    EXPECT_EQ(full("C:\\a\\..\\b"), "C:\\b");
    EXPECT_EQ(full("\\\\server\\share\\x\\..\\y"), "\\\\server\\share\\y");
    EXPECT_EQ(full("\\\\?\\C:\\x"), "\\\\?\\C:\\x");
    EXPECT_EQ(full("\\\\=\\x\\.\\y"), "\\\\=\\x\\y");
    EXPECT_EQ(full("\\\\server"), "<null>");
    EXPECT_EQ(full("\\\\server\\"), "<null>");
}

// A current directory longer than the first 300-unit buffer is read whole.
TEST(PathFull, CurrentDirectoryOver300Units) {
    std::vector<std::string> chain = {unique_name("deep")};
    for (int i = 0; i < 8; ++i) chain.push_back(std::string(40, char('a' + i)));
    TempCwd cwd(chain);
    if (!cwd.ok()) {
        // Windows without long-path support refuses a current directory
        // beyond MAX_PATH; there is nothing to read then.
        GTEST_SKIP() << "the system refuses a current directory this long";
    }
    const std::string w = cwd_windows();
    ASSERT_GT(w.size(), 300u);
    EXPECT_EQ(own(current_directory(heap_allocator())), w);
    EXPECT_EQ(full("x"), w + "\\x");
    EXPECT_EQ(full("..\\x"), w.substr(0, w.rfind('\\')) + "\\x");
    EXPECT_EQ(own(drive_directory(heap_allocator(), w[0])), w);
    EXPECT_EQ(full((std::string(1, static_cast<char>(w[0] | 0x20)) + ":y").c_str()), w + "\\y");
    // The growth buffer comes from the call's own arena.
    mem_fail_at(1, true);
    EXPECT_EQ(current_directory(heap_allocator()), nullptr);
    mem_fail_at(0);

#ifndef _WIN32
    // The cached value is read the same way when it is first computed.
    ProcessValue saved = g_cached_directory;
    g_cached_directory.slot = nullptr;
    g_cached_directory.owned = nullptr;
    EXPECT_EQ(to8(cached_current_directory()), w);
    mem_free(g_cached_directory.owned);
    g_cached_directory = saved;
#endif
}

// --- the process-wide values ---------------------------------------------

TEST(PathCached, ComputedOnceAtStartUp) {
    const char16_t* dir = cached_current_directory();
    ASSERT_NE(dir, nullptr);
    uint64_t root = 0;
    bool rooted = false;
    EXPECT_EQ(path_root(to8(dir).c_str(), &root, &rooted), 0);
    EXPECT_TRUE(rooted && root > 0) << to8(dir);
    EXPECT_TRUE(exit_cleanup_registered());
    {
        // Moving elsewhere does not change it.
        TempCwd cwd({unique_name("cached")});
        ASSERT_TRUE(cwd.ok());
        EXPECT_EQ(cached_current_directory(), dir);
    }
    const char16_t* user = cached_user_name();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(cached_user_name(), user);
    char16_t buf[300];
    DWORD size = 300;
    ASSERT_TRUE(GetUserNameW(reinterpret_cast<WCHAR*>(buf), &size));
    EXPECT_EQ(std::u16string(user), std::u16string(buf));
}

#ifndef _WIN32
// --- failures of the system calls (stand-in hooks) ------------------------

class PathFaults : public ::testing::Test {
  protected:
    void TearDown() override { fault_reset(); }
};

TEST_F(PathFaults, NoCurrentDirectory) {
    FaultRule fail;
    fail.count = 0;
    fail.error = ERROR_ACCESS_DENIED;
    fault_set(FAULT_CURDIR, fail);
    fault_set(FAULT_FULLPATH, fail);
    EXPECT_EQ(current_directory(heap_allocator()), nullptr);
    EXPECT_EQ(full("x"), "<null>");
    EXPECT_EQ(full("\\x"), "<null>");
    EXPECT_EQ(full("C:x"), "<null>");
    EXPECT_EQ(full("C:\\x"), "C:\\x");
    // Without a current folder the path is not found; memory is not the reason.
    for (const char* p : {"x", "\\x", "C:x"}) {
        ErrorCode e = 0;
        EXPECT_EQ(path_full_checked(heap_allocator(), p, &e), nullptr) << p;
        EXPECT_EQ(e, ERR_PATH_NOT_FOUND) << p;
    }
    ErrorCode e = 0;
    EXPECT_EQ(path_full_checked(heap_allocator(), "\\\\", &e), nullptr);
    EXPECT_EQ(e, ERR_INVALID_NAME);
    // The system may still place a path when the current folder cannot be
    // had: the stand-in knows its one drive.
    fault_reset();
    fault_set(FAULT_CURDIR, fail);
    EXPECT_EQ(full("\\x"), "Z:\\x");
}

// Memory that runs out is told apart from a missing current folder, for
// every allocation the fallback makes.
TEST_F(PathFaults, NoCurrentDirectoryAndNoMemory) {
    FaultRule fail;
    fail.count = 0;
    fault_set(FAULT_CURDIR, fail);
    for (uint64_t n = 1; n < 20; ++n) {
        ErrorCode e = 0;
        mem_fail_at(n);
        char* r = path_full_checked(heap_allocator(), "\\x", &e);
        mem_fail_at(0);
        if (r) {
            EXPECT_EQ(std::string(r), "Z:\\x");
            mem_free(r);
            return;
        }
        EXPECT_EQ(e, ERR_OUT_OF_MEMORY) << n;
    }
    ADD_FAILURE() << "never succeeded";
}

TEST_F(PathFaults, RemovedCurrentDirectory) {
    std::string name = unique_name("gone");
    ASSERT_TRUE(make_dir(name));
    char* saved = getcwd(nullptr, 0);
    ASSERT_TRUE(enter_dir(name));
    ASSERT_EQ(rmdir((std::string(saved) + "/" + name).c_str()), 0);
    EXPECT_EQ(current_directory(heap_allocator()), nullptr);
    EXPECT_EQ(full("x"), "<null>");
    EXPECT_EQ(full("Z:\\x"), "Z:\\x");
    // A path from the root is on the one drive; a relative one is not found.
    EXPECT_EQ(full("/x/y"), "Z:\\x\\y");
    ErrorCode e = 0;
    EXPECT_EQ(path_full_checked(heap_allocator(), "x", &e), nullptr);
    EXPECT_EQ(e, ERR_PATH_NOT_FOUND);
    ASSERT_EQ(chdir(saved), 0);
    free(saved);
}

TEST_F(PathFaults, DriveDirectoryFailsFallsBackToTheDrive) {
    FaultRule fail;
    fail.error = ERROR_INVALID_DRIVE;
    fault_set(FAULT_FULLPATH, fail);
    EXPECT_EQ(full("Q:x\\..\\y"), "Q:\\y");
    fault_set(FAULT_FULLPATH, fail);
    EXPECT_EQ(drive_directory(heap_allocator(), 'Q'), nullptr);
}

TEST_F(PathFaults, CachedValuesFallBack) {
    ProcessValue dir = g_cached_directory;
    ProcessValue user = g_cached_user_name;
    g_cached_directory.slot = g_cached_directory.owned = nullptr;
    g_cached_user_name.slot = g_cached_user_name.owned = nullptr;
    FaultRule fail;
    fail.count = 0;
    fault_set(FAULT_CURDIR, fail);
    fault_set(FAULT_USERNAME, fail);
    EXPECT_EQ(cached_current_directory(), g_cached_directory.fallback);
    EXPECT_EQ(std::u16string(cached_current_directory()), u"\\");
    EXPECT_EQ(cached_user_name(), g_cached_user_name.fallback);
    EXPECT_EQ(std::u16string(cached_user_name()), u"?");
    EXPECT_EQ(g_cached_directory.owned, nullptr);
    // Out of memory for the copy also publishes the fallback.
    fault_reset();
    g_cached_directory.slot = nullptr;
    mem_fail_at(1, true);
    EXPECT_EQ(cached_current_directory(), g_cached_directory.fallback);
    mem_fail_at(0);
    g_cached_directory = dir;
    g_cached_user_name = user;
}
#endif

} // namespace
