#include "base/transfer.h"

#include "base/fileopen.h"
#include "platform/nt.h"
#ifndef _WIN32
#include "base/test_control.h"
#include "platform/posix/standin.h"
#endif

#include "scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t STEP = TRANSFER_STEP_MAX;

// --- the loop itself, over a scripted step operation -------------------------

struct StepResult {
    ErrorCode error;
    uint64_t moved; // how much of the asked size a successful step moves; ~0 = all
};
constexpr uint64_t ALL = ~0ull;

struct Scripted {
    TransferRequest req; // first: the operation gets the request back
    std::vector<StepResult> script;
    size_t next = 0;
    std::vector<uint64_t> sizes;   // sizes asked, in order
    std::vector<uint64_t> offsets; // cursor offsets at each step
    unsigned char* base;
};

ErrorCode scripted_step(TransferRequest* req, uint32_t size, uint32_t* moved) {
    Scripted* s = reinterpret_cast<Scripted*>(req);
    s->sizes.push_back(size);
    s->offsets.push_back(static_cast<uint64_t>(req->cursor - s->base));
    StepResult r = s->next < s->script.size() ? s->script[s->next++] : StepResult{0, ALL};
    if (r.error == 0) *moved = static_cast<uint32_t>(r.moved == ALL ? size : r.moved);
    return r.error;
}

struct RunResult {
    ErrorCode error;
    uint64_t count;
    std::vector<uint64_t> sizes;
    std::vector<uint64_t> offsets;
};

// Nothing is stored through the cursor, so it may point at no real memory.
unsigned char* fake_buffer() {
    return reinterpret_cast<unsigned char*>(uintptr_t{0x10000});
}

RunResult run(std::vector<StepResult> script, uint64_t minimum, uint64_t maximum,
              FileHandle h = 4) {
    Scripted s{};
    s.req.handle = h;
    s.req.op = scripted_step;
    s.req.cursor = fake_buffer();
    s.req.end_code = ERR_BROKEN_PIPE;
    s.base = s.req.cursor;
    s.script = std::move(script);
    uint64_t count = 12345;
    ErrorCode e = transfer_run(&s.req, minimum, maximum, &count);
    return {e, count, s.sizes, s.offsets};
}

TEST(Transfer, ZeroBytesMakeOneEmptyStep) {
    RunResult r = run({{0, ALL}}, 0, 0);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.sizes, std::vector<uint64_t>{0});
}

TEST(Transfer, LargeRequestsGoInSteps) {
    RunResult r = run({}, 0, 40 * MiB);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 40 * MiB);
    EXPECT_EQ(r.sizes, (std::vector<uint64_t>{16 * MiB, 16 * MiB, 8 * MiB}));
    EXPECT_EQ(r.offsets, (std::vector<uint64_t>{0, 16 * MiB, 32 * MiB}));

    // Above 4 GiB every step still fits the system's 32-bit count.
    const uint64_t big = 5ull * 1024 * MiB + 5;
    r = run({}, 1, big);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, big);
    ASSERT_EQ(r.sizes.size(), 321u);
    EXPECT_EQ(r.sizes.back(), 5u);
}

TEST(Transfer, ShortStepEndsAReadOrWrite) {
    // Read: any short step ends it; a full 16 MiB step goes on.
    RunResult r = run({{0, 10}}, 0, 10000);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 10u);
    EXPECT_EQ(r.sizes.size(), 1u);
    r = run({{0, ALL}, {0, 3}}, 0, 20 * MiB);
    EXPECT_EQ(r.count, STEP + 3);
    EXPECT_EQ(r.sizes, (std::vector<uint64_t>{STEP, 4 * MiB}));
    // Write: a short step ends it with success and the short count.
    r = run({{0, 7}}, 1, 100);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 7u);
    EXPECT_EQ(r.sizes.size(), 1u);
}

struct EndCase {
    ErrorCode step;
    ErrorCode write_result; // a write that moved nothing reports this
};

TEST(Transfer, EndOfDataCodes) {
    const EndCase cases[] = {
        {38, 38},   {39, 39},   {112, 112}, {59, 109},   {64, 109},
        {109, 109}, {232, 109}, {233, 109}, {1236, 109},
    };
    for (const EndCase& c : cases) {
        // To a reader the end of data is never an error.
        RunResult r = run({{c.step, 0}}, 0, 100);
        EXPECT_EQ(r.error, 0) << c.step;
        EXPECT_EQ(r.count, 0u) << c.step;
        EXPECT_EQ(r.sizes.size(), 1u) << c.step;
        // To a writer only when nothing at all was written.
        r = run({{c.step, 0}}, 1, 100);
        EXPECT_EQ(r.error, c.write_result) << c.step;
        EXPECT_EQ(r.count, 0u) << c.step;
        r = run({{0, ALL}, {c.step, 0}}, 1, 20 * MiB);
        EXPECT_EQ(r.error, 0) << c.step;
        EXPECT_EQ(r.count, STEP) << c.step;
        EXPECT_EQ(r.sizes.size(), 2u) << c.step;
    }
    // A step that succeeds with nothing moved ends a write with a broken pipe.
    RunResult r = run({{0, 0}}, 1, 100);
    EXPECT_EQ(r.error, ERR_BROKEN_PIPE);
    EXPECT_EQ(r.sizes.size(), 1u);
}

TEST(Transfer, EndOfDataStepMovesNothing) {
    // Even if the system claims a count with its end code, it is not counted.
    Scripted s{};
    s.req.handle = 4;
    s.req.op = [](TransferRequest*, uint32_t, uint32_t* moved) -> ErrorCode {
        *moved = 50;
        return 112;
    };
    s.req.cursor = fake_buffer();
    uint64_t count = 1;
    EXPECT_EQ(transfer_run(&s.req, 1, 100, &count), 112);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(s.req.cursor, fake_buffer());
}

TEST(Transfer, AbortedStepIsRepeatedOnlyByAWriteThatMovedNothing) {
    RunResult r = run({{995, 0}, {995, 0}, {0, ALL}}, 1, 100);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 100u);
    EXPECT_EQ(r.sizes, (std::vector<uint64_t>{100, 100, 100}));
    // A read stops at once, without an error.
    r = run({{995, 0}}, 0, 100);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.sizes.size(), 1u);
    // A write that has already moved bytes stops there.
    r = run({{0, ALL}, {995, 0}}, 1, 20 * MiB);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.count, STEP);
    EXPECT_EQ(r.sizes.size(), 2u);
}

TEST(Transfer, RealErrorsStopAndKeepTheCount) {
    RunResult r = run({{0, ALL}, {ERR_ACCESS_DENIED, 0}}, 0, 40 * MiB);
    EXPECT_EQ(r.error, ERR_ACCESS_DENIED);
    EXPECT_EQ(r.count, STEP);
    EXPECT_EQ(r.sizes.size(), 2u);
    r = run({{87, 0}}, 1, 10);
    EXPECT_EQ(r.error, 87);
    EXPECT_EQ(r.count, 0u);
}

TEST(Transfer, AllOnesHandleMakesNoStep) {
    RunResult r = run({}, 0, 100, INVALID_FILE_HANDLE);
    EXPECT_EQ(r.error, ERR_INVALID_HANDLE);
    EXPECT_EQ(r.count, 0u);
    EXPECT_TRUE(r.sizes.empty());
    // The count place is optional.
    Scripted s{};
    s.req.handle = 4;
    s.req.op = scripted_step;
    s.req.cursor = s.base = fake_buffer();
    EXPECT_EQ(transfer_run(&s.req, 0, 10, nullptr), 0);
}

// --- real handles -------------------------------------------------------------

FileHandle open_file(const ScratchDir& dir, const std::string& rel, uint32_t flags) {
    FileHandle h = INVALID_FILE_HANDLE;
    EXPECT_EQ(file_open(&h, dir.path(rel).c_str(), flags), 0) << rel;
    return h;
}

TEST(HandleTransfer, ReadsAFileToItsEnd) {
    ScratchDir dir;
    dir.write("ten.txt", "0123456789");
    FileHandle h = open_file(dir, "ten.txt", FOPEN_READ);
    char buf[10000];
    uint64_t count = 99;
    EXPECT_EQ(handle_read(h, buf, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 0u);
    file_close(h);
}

TEST(HandleTransfer, WritesAndRefusesWithoutAccess) {
    ScratchDir dir;
    FileHandle h = open_file(dir, "out.txt", FOPEN_WRITE | FOPEN_CREATE | FOPEN_TRUNCATE);
    uint64_t count = 99;
    EXPECT_EQ(handle_write(h, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handle_write(h, "hello\r\n", 7, &count), 0);
    EXPECT_EQ(count, 7u);
    char buf[4];
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), ERR_ACCESS_DENIED);
    EXPECT_EQ(count, 0u);
    file_close(h);
    EXPECT_EQ(dir.read("out.txt"), "hello\r\n");

    h = open_file(dir, "out.txt", FOPEN_READ);
    EXPECT_EQ(handle_write(h, "x", 1, &count), ERR_ACCESS_DENIED);
    EXPECT_EQ(count, 0u);
    file_close(h);
    EXPECT_EQ(dir.read("out.txt"), "hello\r\n");
}

TEST(HandleTransfer, InvalidHandles) {
    char buf[4];
    uint64_t count = 99;
    EXPECT_EQ(handle_read(INVALID_FILE_HANDLE, buf, 4, &count), ERR_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handle_write(INVALID_FILE_HANDLE, "x", 1, &count), ERR_INVALID_HANDLE);
    // Handle 0 reaches the system, which refuses it.
    count = 99;
    EXPECT_EQ(handle_read(0, buf, 4, &count), ERR_INVALID_HANDLE);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(handle_write(0, "x", 1, &count), ERR_INVALID_HANDLE);
}

TEST(HandleTransfer, ReadsFortyMebibytes) {
    ScratchDir dir;
    std::filesystem::path p = dir.at("big.bin");
    dir.write("big.bin", "start");
    std::filesystem::resize_file(p, 40 * MiB);
    std::vector<unsigned char> buf(40 * MiB + 1, 0xAA);
    FileHandle h = open_file(dir, "big.bin", FOPEN_READ);
#ifndef _WIN32
    fault_reset();
#endif
    uint64_t count = 0;
    EXPECT_EQ(handle_read(h, buf.data(), 40 * MiB, &count), 0);
    EXPECT_EQ(count, 40 * MiB);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), 5), "start");
    EXPECT_EQ(buf[40 * MiB - 1], 0);
    EXPECT_EQ(buf[40 * MiB], 0xAA);
#ifndef _WIN32
    EXPECT_EQ(g_call_log.reads, 3u);
    EXPECT_EQ(g_call_log.last_read_size, 8 * MiB);
#endif
    file_close(h);
}

// A pipe as a pair of handles of the platform.
struct Pipe {
    FileHandle read = INVALID_FILE_HANDLE;
    FileHandle write = INVALID_FILE_HANDLE;
};

#ifdef _WIN32
Pipe make_pipe() {
    HANDLE r = nullptr, w = nullptr;
    EXPECT_TRUE(CreatePipe(&r, &w, nullptr, 0));
    return {from_native(r), from_native(w)};
}
void close_end(FileHandle h) {
    CloseHandle(to_native(h));
}
#else
FileHandle wrap_fd(int fd, ACCESS_MASK access) {
    auto* obj = static_cast<standin::Object*>(calloc(1, sizeof(standin::Object)));
    obj->kind = standin::ObjKind::File;
    obj->fd = fd;
    obj->access = access;
    return from_native(standin::handle_insert(obj));
}
Pipe make_pipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    return {wrap_fd(fds[0], 0x12019F), wrap_fd(fds[1], 0x12019F)};
}
void close_end(FileHandle h) {
    CloseHandle(to_native(h));
}
#endif

TEST(HandleTransfer, ClosedPipes) {
#ifndef _WIN32
    // As the program's entry does: a closed pipe fails the write.
    signal(SIGPIPE, SIG_IGN);
#endif
    Pipe p = make_pipe();
    uint64_t count = 99;
    EXPECT_EQ(handle_write(p.write, "abc", 3, &count), 0);
    EXPECT_EQ(count, 3u);
    close_end(p.write);
    char buf[8];
    EXPECT_EQ(handle_read(p.read, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 3u);
    // The writer is gone: the end of data, not an error.
    EXPECT_EQ(handle_read(p.read, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 0u);
    close_end(p.read);

    p = make_pipe();
    close_end(p.read);
    count = 99;
    EXPECT_EQ(handle_write(p.write, "abc", 3, &count), ERR_BROKEN_PIPE);
    EXPECT_EQ(count, 0u);
    close_end(p.write);
}

#ifndef _WIN32
// --- the stand-in's calls, and failures driven through its fault hooks --------

class StandinTransfer : public ::testing::Test {
  protected:
    void SetUp() override { fault_reset(); }
    void TearDown() override { fault_reset(); }
    ScratchDir dir;
};

TEST_F(StandinTransfer, AllOnesHandleMakesNoSystemCall) {
    char buf[4];
    EXPECT_EQ(handle_read(INVALID_FILE_HANDLE, buf, 4, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(handle_write(INVALID_FILE_HANDLE, buf, 4, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(g_call_log.reads, 0u);
    EXPECT_EQ(g_call_log.writes, 0u);
    EXPECT_EQ(handle_write(0, buf, 4, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(g_call_log.writes, 1u);
}

TEST_F(StandinTransfer, ZeroByteTransfersMakeOneCall) {
    FileHandle h = open_file(dir, "f.txt", FOPEN_READ | FOPEN_WRITE | FOPEN_CREATE);
    uint64_t count = 9;
    EXPECT_EQ(handle_read(h, nullptr, 0, &count), 0);
    EXPECT_EQ(handle_write(h, nullptr, 0, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(g_call_log.reads, 1u);
    EXPECT_EQ(g_call_log.last_read_size, 0u);
    EXPECT_EQ(g_call_log.writes, 1u);
    EXPECT_EQ(g_call_log.last_write_size, 0u);
    file_close(h);
}

TEST_F(StandinTransfer, DiskFull) {
    FileHandle h = open_file(dir, "f.txt", FOPEN_WRITE | FOPEN_CREATE);
    FaultRule full;
    full.error = ERROR_DISK_FULL;
    fault_set(FAULT_WRITE, full);
    uint64_t count = 99;
    EXPECT_EQ(handle_write(h, "abcdef", 6, &count), ERR_DISK_FULL);
    EXPECT_EQ(count, 0u);

    // Some bytes went out before the disk filled up: success with the short count.
    FaultRule part;
    part.short_to = 4;
    fault_set(FAULT_WRITE, part);
    EXPECT_EQ(handle_write(h, "abcdef", 6, &count), 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(g_call_log.bytes_written, 4u);
    file_close(h);
    EXPECT_EQ(dir.read("f.txt"), "abcd");

    // A full step, then the disk is full.
    h = open_file(dir, "g.bin", FOPEN_WRITE | FOPEN_CREATE);
    std::vector<char> data(20 * MiB, 'z');
    full.skip = 1;
    fault_set(FAULT_WRITE, full);
    EXPECT_EQ(handle_write(h, data.data(), data.size(), &count), 0);
    EXPECT_EQ(count, STEP);
    EXPECT_EQ(g_call_log.last_write_size, 4 * MiB);
    file_close(h);
    EXPECT_EQ(std::filesystem::file_size(dir.at("g.bin")), STEP);
}

TEST_F(StandinTransfer, RealFullDeviceReportsDiskFull) {
    int fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    FileHandle h = wrap_fd(fd, FILE_WRITE_DATA);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(to_native(h), "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(written, 0u);
    uint64_t count = 99;
    EXPECT_EQ(handle_write(h, "x", 1, &count), ERR_DISK_FULL);
    EXPECT_EQ(count, 0u);
    CloseHandle(to_native(h));
}

TEST_F(StandinTransfer, ClosedPipeIsNoData) {
    signal(SIGPIPE, SIG_IGN);
    Pipe p = make_pipe();
    close_end(p.read);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(to_native(p.write), "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    close_end(p.write);

    p = make_pipe();
    close_end(p.write);
    char c;
    DWORD got = 7;
    EXPECT_FALSE(ReadFile(to_native(p.read), &c, 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    EXPECT_EQ(got, 0u);
    close_end(p.read);
}

TEST_F(StandinTransfer, AbortedFirstWriteStepIsRetried) {
    FileHandle h = open_file(dir, "f.txt", FOPEN_WRITE | FOPEN_CREATE);
    FaultRule aborted;
    aborted.error = ERROR_OPERATION_ABORTED;
    aborted.count = 2;
    fault_set(FAULT_WRITE, aborted);
    uint64_t count = 0;
    EXPECT_EQ(handle_write(h, "abc", 3, &count), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(g_call_log.writes, 3u);
    file_close(h);
    EXPECT_EQ(dir.read("f.txt"), "abc");

    // A read is not repeated.
    dir.write("r.txt", "abc");
    h = open_file(dir, "r.txt", FOPEN_READ);
    fault_set(FAULT_READ, aborted);
    char buf[8];
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(g_call_log.reads, 1u);
    file_close(h);
}

TEST_F(StandinTransfer, ShortAndFailedReads) {
    dir.write("r.txt", "0123456789");
    FileHandle h = open_file(dir, "r.txt", FOPEN_READ);
    FaultRule rule;
    rule.short_to = 3;
    fault_set(FAULT_READ, rule);
    char buf[16];
    uint64_t count = 0;
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(g_call_log.last_read_size, 16u);
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), 0);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(std::string(buf, 7), "3456789");

    rule = FaultRule{};
    rule.error = 1117; // a device error is a real failure
    fault_set(FAULT_READ, rule);
    EXPECT_EQ(handle_read(h, buf, sizeof buf, &count), 1117);
    EXPECT_EQ(count, 0u);
    file_close(h);
}

TEST_F(StandinTransfer, ObjectKindsAndAccess) {
    dir.write("f.txt", "data");
    int fd = open(dir.path("f.txt").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    HANDLE no_rights = to_native(wrap_fd(fd, FILE_READ_ATTRIBUTES));
    char buf[8];
    DWORD n = 7;
    EXPECT_FALSE(ReadFile(no_rights, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(no_rights, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(no_rights);

    // Appending is writing.
    fd = open(dir.path("f.txt").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    HANDLE append = to_native(wrap_fd(fd, FILE_APPEND_DATA));
    EXPECT_TRUE(WriteFile(append, "!", 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    CloseHandle(append);
    EXPECT_EQ(dir.read("f.txt"), "data!");

    FileHandle folder = INVALID_FILE_HANDLE;
    ASSERT_EQ(file_open(&folder, dir.path().c_str(), FOPEN_QUERY), 0);
    EXPECT_FALSE(ReadFile(to_native(folder), buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    file_close(folder);

    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(uintptr_t{0x7FF0}), buf, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
#endif

} // namespace
