#include "base/fileinfo.h"
#include "base/test_control.h"
#include "base/fileopen.h"
#include "base/utf.h"
#include "platform/nt.h"
#ifndef _WIN32
#include "platform/posix/standin.h"
#endif

#include "scratch.h"
#include "fileio_wine.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

constexpr ErrorCode ERR_SHARING_VIOLATION_FOR_TEST = 32;

std::string to8(const NativeName& n) {
    const char16_t* s = reinterpret_cast<const char16_t*>(n.Buffer);
    std::string out(utf16_to_utf8(nullptr, 0, s, n.Length / 2), '\0');
    utf16_to_utf8(out.data(), out.size() + 1, s, n.Length / 2);
    return out;
}

struct Converted {
    ErrorCode error;
    std::string name;
    uint32_t length, capacity;
};

Converted classify(const char* full) {
    ArenaAllocator arena;
    arena_init(&arena);
    NativeName n;
    ErrorCode e = native_path_from_full(&arena, full, &n);
    Converted c{e, e == 0 ? to8(n) : "", n.Length, n.MaximumLength};
    if (e == 0) {
        EXPECT_EQ(n.Buffer[n.Length / 2], 0) << "the text ends in a NUL";
    }
    arena_release(&arena);
    return c;
}

TEST(NativePath, ClassifiesFullPaths) {
    struct Case {
        const char* full;
        ErrorCode error;
        const char* native;
    } cases[] = {
        {"C:\\", 0, "\\??\\C:\\"},
        {"C:", 0, "\\??\\C:"},
        {"c:\\Dir\\A.txt", 0, "\\??\\c:\\Dir\\A.txt"}, // no letter is rewritten
        {"C:x", ERR_INVALID_NAME, nullptr},
        {"1:\\x", ERR_INVALID_NAME, nullptr},
        {"\\\\?\\C:\\long\\path", 0, "\\??\\C:\\long\\path"},
        {"\\\\.\\C:\\x", 0, "\\??\\C:\\x"},
        {"\\\\server\\share\\f", 0, "\\??\\UNC\\server\\share\\f"},
        {"\\\\=\\Device\\HarddiskVolume1\\x", 0, "\\Device\\HarddiskVolume1\\x"},
        {"\\x\\y", 0, "\\x\\y"},
        {"x\\y", ERR_INVALID_NAME, nullptr},
        {"", ERR_INVALID_NAME, nullptr},
        {"C:\\\xC3\xA9\xF0\x9F\x98\x80", 0, "\\??\\C:\\\xC3\xA9\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        Converted got = classify(c.full);
        EXPECT_EQ(got.error, c.error) << c.full;
        if (c.native) {
            EXPECT_EQ(got.name, c.native) << c.full;
            EXPECT_EQ(got.capacity, got.length + 2u) << c.full;
        } else {
            EXPECT_EQ(got.length, 0u) << c.full;
            EXPECT_EQ(got.capacity, 2u) << c.full;
        }
    }
    // UTF-16 length: é is one unit, the emoji two.
    EXPECT_EQ(classify("C:\\\xC3\xA9\xF0\x9F\x98\x80").length, (4u + 3u + 3u) * 2);
}

TEST(NativePath, RelativeAndPosixFormsBecomeFull) {
    ArenaAllocator arena;
    arena_init(&arena);
    NativeName n;
    ASSERT_EQ(native_path_from_path(&arena, "Z:/a/./b\\..\\c", &n), 0);
    EXPECT_EQ(to8(n), "\\??\\Z:\\a\\c");
    EXPECT_EQ(native_path_from_path(&arena, nullptr, &n), 0) << "no path: the current folder";
    EXPECT_EQ(to8(n).rfind("\\??\\", 0), 0u);
    arena_release(&arena);
}

TEST(NativePath, TheLongestNameIs32767Units) {
    ArenaAllocator arena;
    arena_init(&arena);
    NativeName n;
    // "\??\" + "Z:\" + name: 7 units of head.
    std::string longest = "Z:\\" + std::string(32767 - 7, 'a');
    ASSERT_EQ(native_path_from_full(&arena, longest.c_str(), &n), 0);
    EXPECT_EQ(n.Length, 65534u);
    EXPECT_GE(n.MaximumLength, n.Length);
    std::string too_long = longest + "a";
    EXPECT_EQ(native_path_from_full(&arena, too_long.c_str(), &n), ERR_INVALID_NAME);
    EXPECT_EQ(n.Length, 0u);
    // The same through path_full, and no open is tried.
    EXPECT_EQ(native_path_from_path(&arena, too_long.c_str(), &n), ERR_INVALID_NAME);
    // A two-unit character pushes it over as well.
    std::string astral = "Z:\\" + std::string(32767 - 8, 'a') + "\xF0\x9F\x98\x80";
    EXPECT_EQ(native_path_from_full(&arena, astral.c_str(), &n), ERR_INVALID_NAME);
    arena_release(&arena);
#ifndef _WIN32
    fault_reset();
    FileHandle h = 0;
    EXPECT_EQ(file_open(&h, too_long.c_str(), FOPEN_QUERY), ERR_INVALID_NAME);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    EXPECT_EQ(g_call_log.opens, 0u);
#endif
}

TEST(NativePath, OutOfMemory) {
    ArenaAllocator arena;
    arena_init(&arena);
    NativeName n;
    mem_fail_at(1);
    EXPECT_EQ(native_path_from_full(&arena, "C:\\x", &n), ERR_OUT_OF_MEMORY);
    mem_fail_at(0);
    EXPECT_EQ(n.Length, 0u);
    // The full path itself cannot be made for want of memory: still 14, for
    // a relative path (which needs the current directory) too.
    for (const char* p : {"C:\\x", "rel\\x", ""}) {
        mem_fail_at(1, true);
        EXPECT_EQ(native_path_from_path(&arena, p, &n), ERR_OUT_OF_MEMORY) << p;
        mem_fail_at(0);
    }
    // A malformed root is a bad name whatever the memory.
    EXPECT_EQ(native_path_from_path(&arena, "\\\\", &n), ERR_INVALID_NAME);
    arena_release(&arena);
}

class FileOpen : public ::testing::Test {
  protected:
    ScratchDir dir;
    void SetUp() override {
#ifndef _WIN32
        fault_reset();
#endif
    }
    void TearDown() override {
#ifndef _WIN32
        fault_reset();
#endif
    }
};

TEST_F(FileOpen, MissingAndEmptyPaths) {
    FileHandle h = 0;
    EXPECT_EQ(file_open(&h, nullptr, FOPEN_QUERY), ERR_OUT_OF_MEMORY);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    h = 0;
    EXPECT_EQ(file_open(&h, "", FOPEN_QUERY), ERR_INVALID_NAME);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    EXPECT_EQ(file_open(&h, dir.path("missing.txt").c_str(), 3), 2);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    EXPECT_EQ(file_open(&h, dir.path("nodir/missing.txt").c_str(), 3), 3);
#ifndef _WIN32
    EXPECT_EQ(g_call_log.opens, 2u);
#endif
}

#ifndef _WIN32
TEST_F(FileOpen, FlagsTranslateToTheNativeRequest) {
    dir.write("f.txt", "x");
    std::string p = dir.path("f.txt");
    struct Case {
        uint32_t flags;
        ACCESS_MASK access;
        ULONG share, disposition, attributes, options;
    } cases[] = {
        {15, 0x12019B, 5, FILE_OPEN, 6, 0x20},
        {3, 0x120089, 7, FILE_OPEN, 6, 0x20},
        {FOPEN_QUERY, 0x120088, 7, FILE_OPEN, 6, 0x20},
        {FOPEN_WRITE | FOPEN_SHARE_WRITE, 0x12008A, 7, FILE_OPEN, 6, 0x20},
        {FOPEN_READ | FOPEN_DENY_WRITE, 0x120089, 5, FILE_OPEN, 6, 0x20},
        {FOPEN_CREATE, 0x12019A, 5, FILE_OPEN_IF, 0x80, 0x20},
        {FOPEN_TRUNCATE, 0x12008A, 5, FILE_OVERWRITE, 0x80, 0x20},
        {FOPEN_CREATE | FOPEN_TRUNCATE, 0x12019A, 5, FILE_OVERWRITE_IF, 0x80, 0x20},
        {FOPEN_READ | FOPEN_WRITE | FOPEN_APPEND, 0x12008C, 5, FILE_OPEN, 6, 0x20},
        {FOPEN_READ | FOPEN_ASYNC, 0x020089, 7, FILE_OPEN, 6, 0},
        {FOPEN_READ | FOPEN_UNBUFFERED | FOPEN_NO_FOLLOW, 0x120089, 7, FILE_OPEN, 6, 0x200028},
        {FOPEN_EXECUTE | 0x0010, 0x1200A8, 7, FILE_OPEN, 6, 0x20},
    };
    for (const Case& c : cases) {
        fault_reset();
        FileHandle h;
        EXPECT_EQ(file_open(&h, p.c_str(), c.flags), 0) << c.flags;
        file_close(h);
        EXPECT_EQ(g_call_log.opens, 1u);
        EXPECT_EQ(g_call_log.last_access, c.access) << std::hex << c.flags;
        EXPECT_EQ(g_call_log.last_share, c.share) << c.flags;
        EXPECT_EQ(g_call_log.last_disposition, c.disposition) << c.flags;
        EXPECT_EQ(g_call_log.last_attributes, c.attributes) << c.flags;
        EXPECT_EQ(g_call_log.last_options, c.options) << c.flags;
    }
}

TEST_F(FileOpen, CreateRetriesAsAPlainOpenWhenRefused) {
    dir.write("f.txt", "some text");
    std::string p = dir.path("f.txt");
    FaultRule deny{};
    deny.status = STATUS_ACCESS_DENIED;
    fault_set(FAULT_OPEN, deny);
    FileHandle h;
    ASSERT_EQ(file_open(&h, p.c_str(), FOPEN_QUERY | FOPEN_CREATE | FOPEN_TRUNCATE), 0);
    EXPECT_EQ(g_call_log.opens, 2u);
    EXPECT_EQ(g_call_log.last_disposition, ULONG(FILE_OPEN));
    EXPECT_EQ(g_call_log.last_attributes, 6u);
    EXPECT_EQ(g_call_log.last_access, 0x12019Au);
    EXPECT_EQ(g_call_log.last_share, 5u);
    file_close(h);
    EXPECT_EQ(dir.read("f.txt"), "") << "the retry cuts the file";

    // Cutting fails: the handle is closed and the error returned.
    dir.write("f.txt", "some text");
    fault_set(FAULT_OPEN, deny);
    FaultRule full{};
    full.status = STATUS_DISK_FULL;
    full.info_class = FileEndOfFileInformation;
    fault_set(FAULT_SET_INFO, full);
    EXPECT_EQ(file_open(&h, p.c_str(), FOPEN_QUERY | FOPEN_CREATE | FOPEN_TRUNCATE), 112);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    FileHandle again;
    EXPECT_EQ(file_open(&again, p.c_str(), 15), 0) << "no handle was left open";
    file_close(again);

    // Without FOPEN_CREATE there is no retry.
    fault_reset();
    fault_set(FAULT_OPEN, deny);
    EXPECT_EQ(file_open(&h, p.c_str(), FOPEN_QUERY | FOPEN_TRUNCATE), ERR_ACCESS_DENIED);
    EXPECT_EQ(g_call_log.opens, 1u);
    // Another error: no retry either.
    fault_reset();
    FaultRule busy{};
    busy.status = STATUS_SHARING_VIOLATION;
    fault_set(FAULT_OPEN, busy);
    EXPECT_EQ(file_open(&h, p.c_str(), FOPEN_QUERY | FOPEN_CREATE), 32);
    EXPECT_EQ(g_call_log.opens, 1u);
}

TEST_F(FileOpen, StatusBlockFailureStillHandsTheHandleBack) {
    dir.write("f.txt", "x");
    FaultRule rule{};
    rule.status = STATUS_ACCESS_DENIED;
    rule.short_to = 0; // the call succeeds; the status block fails
    fault_set(FAULT_OPEN, rule);
    FileHandle h = 0;
    uint64_t action = 77;
    EXPECT_EQ(
        file_open_native(dir.path("f.txt").c_str(), 0x120089, 7, 6, FILE_OPEN, 0x20, &h, &action),
        ERR_ACCESS_DENIED);
    EXPECT_EQ(action, 0u);
    EXPECT_TRUE(handle_is_valid(h));
    file_close(h);
}

TEST_F(FileOpen, FifosAreRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(dir.path("fifo").c_str(), 0644), 0);
    FileHandle h;
    EXPECT_EQ(file_open(&h, dir.path("fifo").c_str(), 15), ERR_ACCESS_DENIED);
    EXPECT_EQ(file_open(&h, dir.path("fifo").c_str(), 3), ERR_ACCESS_DENIED);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
}

TEST_F(FileOpen, FileCloseLeavesStandardHandlesThatAreNoConsole) {
    // Standard output is a pipe or a file under the test runner, not a console.
    FileHandle out = from_native(GetStdHandle(STD_OUTPUT_HANDLE));
    ASSERT_EQ(out & 3, 3u);
    file_close(out);
    EXPECT_EQ(standin::std_handle_fd(to_native(out)), 1);
}
#endif

TEST_F(FileOpen, OpenNativeReportsTheCreateAction) {
    std::string p = dir.path("new.txt");
    FileHandle h;
    uint64_t action = 99;
    ASSERT_EQ(file_open_native(p.c_str(), 0x12019B, 7, 0x80, FILE_OPEN_IF, 0x20, &h, &action), 0);
    EXPECT_EQ(action, uint64_t(FILE_CREATED));
    file_close(h);
    ASSERT_EQ(file_open_native(p.c_str(), 0x12019B, 7, 0x80, FILE_OPEN_IF, 0x20, &h, &action), 0);
    EXPECT_EQ(action, uint64_t(FILE_OPENED));
    file_close(h);
    EXPECT_EQ(file_open_native(p.c_str(), 0x120088, 7, 0x80, FILE_CREATE, 0x20, &h, &action), 183);
    EXPECT_EQ(action, 0u);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    action = 99;
    h = 0;
    std::string too_long = "Z:\\" + std::string(32767, 'a');
    EXPECT_EQ(file_open_native(too_long.c_str(), 0x120088, 7, 6, FILE_OPEN, 0x20, &h, &action),
              ERR_INVALID_NAME);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    EXPECT_EQ(action, 0u);
}

TEST_F(FileOpen, SharingConflictRefusesWritingButNotReading) {
    dir.write("f.txt", "text");
    std::string p = dir.path("f.txt");
    FileHandle holder;
    ASSERT_EQ(file_open(&holder, p.c_str(), FOPEN_QUERY | FOPEN_READ | FOPEN_DENY_WRITE), 0);
    FileHandle h;
    EXPECT_EQ(file_open(&h, p.c_str(), 15), ERR_SHARING_VIOLATION_FOR_TEST);
    EXPECT_EQ(h, INVALID_FILE_HANDLE);
    ASSERT_EQ(file_open(&h, p.c_str(), 3), 0);
    file_close(h);
    file_close(holder);
    ASSERT_EQ(file_open(&h, p.c_str(), 15), 0);
    // A writer shares reading only: a second writer is refused, a reader is not.
    FileHandle second;
    EXPECT_EQ(file_open(&second, p.c_str(), 15), ERR_SHARING_VIOLATION_FOR_TEST);
    ASSERT_EQ(file_open(&second, p.c_str(), 3), 0) << "the writer shares reading";
    file_close(second);
    file_close(h);
}

TEST_F(FileOpen, WithoutAPlaceTheHandleIsClosedAtOnce) {
    dir.write("f.txt", "text");
    std::string p = dir.path("f.txt");
    EXPECT_EQ(file_open(nullptr, p.c_str(), 15), 0);
    FileHandle h;
    EXPECT_EQ(file_open(&h, p.c_str(), 15), 0) << "a writer left open would refuse this one";
    file_close(h);
    EXPECT_EQ(file_open(nullptr, dir.path("missing").c_str(), 3), 2);
}

TEST_F(FileOpen, ReadOnlyFileRefusesWritingOpens) {
    dir.write("ro.txt", "text");
    dir.set_read_only("ro.txt");
    std::string p = dir.path("ro.txt");
    FileHandle h;
    ErrorCode e = file_open(&h, p.c_str(), 15);
    if (e == 0 && wine_writes_read_only_files()) {
        file_close(h);
    } else {
        EXPECT_EQ(e, ERR_ACCESS_DENIED);
        EXPECT_EQ(h, INVALID_FILE_HANDLE);
    }
    ASSERT_EQ(file_open(&h, p.c_str(), 3), 0);
    file_close(h);
}

TEST_F(FileOpen, CreateAndTruncate) {
    std::string p = dir.path("made.txt");
    FileHandle h;
    ASSERT_EQ(file_open(&h, p.c_str(), FOPEN_QUERY | FOPEN_CREATE), 0);
    file_close(h);
    EXPECT_TRUE(std::filesystem::exists(dir.at("made.txt")));
    dir.write("made.txt", "abc");
    ASSERT_EQ(file_open(&h, p.c_str(), FOPEN_QUERY | FOPEN_TRUNCATE), 0);
    file_close(h);
    EXPECT_EQ(dir.read("made.txt"), "");
    EXPECT_EQ(file_open(&h, dir.path("other.txt").c_str(), FOPEN_QUERY | FOPEN_TRUNCATE), 2);
}

TEST_F(FileOpen, ErrorModeIsSetByTheFirstOpenOnly) {
    dir.write("f.txt", "x");
    std::string p = dir.path("f.txt");
    error_mode_latch = 0;
#ifdef _WIN32
    SetErrorMode(0);
#else
    fault_reset();
#endif
    FileHandle h;
    ASSERT_EQ(file_open(&h, p.c_str(), 3), 0);
    file_close(h);
    EXPECT_EQ(error_mode_latch, 1);
#ifdef _WIN32
    EXPECT_EQ(GetErrorMode(), UINT(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX));
    SetErrorMode(0);
#else
    EXPECT_EQ(g_call_log.set_error_mode, 1u);
#endif
    ASSERT_EQ(file_open(&h, p.c_str(), 3), 0);
    file_close(h);
#ifdef _WIN32
    EXPECT_EQ(GetErrorMode(), 0u);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
#else
    EXPECT_EQ(g_call_log.set_error_mode, 1u);
#endif
}

TEST_F(FileOpen, ClosingInvalidHandlesDoesNothing) {
    file_close(0);
    file_close(INVALID_FILE_HANDLE);
    FileHandle h;
    dir.write("f.txt", "x");
    ASSERT_EQ(file_open(&h, dir.path("f.txt").c_str(), 3), 0);
    file_close(h);
    FileEntry e;
    EXPECT_EQ(file_query_entry(h, &e), ERR_INVALID_HANDLE) << "closed";
}

TEST_F(FileOpen, FoldersOpenToo) {
    dir.mkdir("sub");
    FileHandle h;
    ASSERT_EQ(file_open(&h, dir.path("sub").c_str(), FOPEN_QUERY | FOPEN_READ), 0);
    file_close(h);
    ASSERT_EQ(file_open(&h, (dir.path("sub") + "\\").c_str(), FOPEN_QUERY), 0);
    file_close(h);
}

} // namespace
