// Asynchronous reads on pipes with real threads: reads gathered up to the
// minimum, the end of data, time-outs, cancels, the alarm module's stop and
// the signal pipe reader. Both builds run them, the Windows one on the real
// NtReadFile and APC delivery.
#include "base/runtime/async.h"
#include "base/alloc_test_hooks.h"

#include "base/alloc.h"
#include "base/runtime/signal.h"
#include "base/runtime/voalarm.h"
#include "platform/nt.h"
#include "tests/runtime_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef _WIN32
#include "platform/posix/fault.h"
#endif

namespace {

// A pipe whose read end takes overlapped reads: on Windows a named pipe
// opened for overlapped I/O (anonymous pipes are synchronous only).
struct TestPipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    TestPipe() {
#ifdef _WIN32
        static std::atomic<int> serial{0};
        std::wstring name = L"\\\\.\\pipe\\eolset_async_" + std::to_wstring(GetCurrentProcessId()) +
                            L"_" + std::to_wstring(serial.fetch_add(1));
        read = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                nullptr);
        write = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
#else
        CreatePipe(&read, &write, nullptr, 0);
#endif
    }
    ~TestPipe() {
        close_write();
        if (read && read != INVALID_HANDLE_VALUE) CloseHandle(read);
    }
    void put(const char* bytes, DWORD n) {
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(write, bytes, n, &written, nullptr));
        ASSERT_EQ(written, n);
    }
    void close_write() {
        if (write && write != INVALID_HANDLE_VALUE) CloseHandle(write);
        write = nullptr;
    }
};

struct Outcome {
    std::atomic<int> calls{0};
    std::atomic<int32_t> result{-1};
    std::atomic<uint64_t> bytes{0};
    std::atomic<DWORD> thread{0};
    bool wait() {
        return eventually([this] { return calls.load() > 0; });
    }
};

void record(void* user, int32_t result, uint64_t bytes) {
    Outcome* o = static_cast<Outcome*>(user);
    o->result = result;
    o->bytes = bytes;
    o->thread = GetCurrentThreadId();
    o->calls.fetch_add(1);
}

constexpr int32_t kNoTimeout = -1;

TEST(RuntimeAsyncTest, ReadsGatherUpToTheMinimum) {
    TestPipe pipe;
    ASSERT_TRUE(pipe.read && pipe.write);
    char buffer[10] = {};
    Outcome o;
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &o, buffer, 10, 10);
    pipe.put("abcd", 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(o.calls.load(), 0);
    pipe.put("efghij", 6);
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.result.load(), 0);
    EXPECT_EQ(o.bytes.load(), 10u);
    EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
    EXPECT_NE(o.thread.load(), GetCurrentThreadId());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(o.calls.load(), 1);
}

TEST(RuntimeAsyncTest, TheDataEndingBeforeTheMinimumGives109) {
    TestPipe pipe;
    char buffer[10] = {};
    Outcome o;
    pipe.put("abcd", 4);
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &o, buffer, 10, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pipe.close_write();
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.result.load(), ERROR_BROKEN_PIPE);
    EXPECT_EQ(o.bytes.load(), 4u);
    // Enough data before the end: success with what came.
    TestPipe more;
    Outcome enough;
    more.put("xyz", 3);
    async_read_start(more.read, nullptr, kNoTimeout, record, &enough, buffer, 2, 10);
    ASSERT_TRUE(enough.wait());
    EXPECT_EQ(enough.result.load(), 0);
    EXPECT_EQ(enough.bytes.load(), 3u);
}

TEST(RuntimeAsyncTest, ATimeOutEndsAPendingReadWith121) {
    TestPipe pipe;
    char buffer[4];
    Outcome o;
    auto start = std::chrono::steady_clock::now();
    async_read_start(pipe.read, nullptr, 50, record, &o, buffer, 1, 4);
    ASSERT_TRUE(o.wait());
    EXPECT_GE(elapsed_ms(start), 40);
    EXPECT_EQ(o.result.load(), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(o.bytes.load(), 0u);
}

std::atomic<bool> g_hold{false};
std::atomic<bool> g_held{false};
void hold_alarm_thread(Timer*) {
    g_held = true;
    while (g_hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(RuntimeAsyncTest, CancelsEndAPendingReadOnce) {
    TestPipe pipe;
    char buffer[4];
    // Through a cancel signal set before the start.
    Signal cancel;
    signal_init(&cancel);
    signal_set(&cancel);
    Outcome o;
    async_read_start(pipe.read, &cancel, kNoTimeout, record, &o, buffer, 1, 4);
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.result.load(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(o.bytes.load(), 0u);
    // Through the request, twice, while the alarm thread is held busy, so
    // that both calls come before the cancel step can run: one step, one end.
    Signal later;
    signal_init(&later);
    Outcome p;
    AsyncRead* r = async_read_start(pipe.read, &later, 10000, record, &p, buffer, 1, 4);
    ASSERT_NE(r, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Timer blocker{};
    g_hold = true;
    g_held = false;
    ASSERT_TRUE(alarm_schedule(&blocker, hold_alarm_thread, 0));
    ASSERT_TRUE(eventually([] { return g_held.load(); }));
    async_read_cancel(r);
    async_read_cancel(r);
    g_hold = false;
    ASSERT_TRUE(p.wait());
    signal_set(&later);
    EXPECT_EQ(p.result.load(), ERROR_OPERATION_ABORTED);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(p.calls.load(), 1);
    // The pipe is still usable: the cancelled reads took nothing.
    Outcome q;
    pipe.put("z", 1);
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &q, buffer, 1, 4);
    ASSERT_TRUE(q.wait());
    EXPECT_EQ(q.result.load(), 0);
    EXPECT_EQ(buffer[0], 'z');
}

TEST(RuntimeAsyncTest, BadHandlesAndNoMemoryAreReported) {
    char buffer[4];
    Outcome o;
    async_read_start(INVALID_HANDLE_VALUE, nullptr, kNoTimeout, record, &o, buffer, 1, 4);
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.result.load(), ERROR_INVALID_HANDLE);
    // No record: the callback runs at once, on the caller's thread.
    Outcome none;
    mem_fail_at(1);
    EXPECT_EQ(
        async_read_start(INVALID_HANDLE_VALUE, nullptr, kNoTimeout, record, &none, buffer, 1, 4),
        nullptr);
    mem_fail_at(0);
    EXPECT_EQ(none.calls.load(), 1);
    EXPECT_EQ(none.result.load(), ERROR_OUTOFMEMORY);
    EXPECT_EQ(none.thread.load(), GetCurrentThreadId());
    EXPECT_TRUE(
        eventually([] { return __atomic_load_n(&async_outstanding, __ATOMIC_ACQUIRE) == 0; }));
}

#ifndef _WIN32
TEST(RuntimeAsyncTest, AReadThatCannotBeIssuedReportsItsError) {
    TestPipe pipe;
    char buffer[4] = {'a', 'b', 'c', 'd'};
    FaultRule rule;
    rule.status = STATUS_INSUFFICIENT_RESOURCES;
    fault_set(FAULT_ASYNC_READ, rule);
    Outcome o;
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &o, buffer, 1, 4);
    ASSERT_TRUE(o.wait());
    EXPECT_EQ(o.result.load(), 1450); // ERROR_NO_SYSTEM_RESOURCES
    EXPECT_EQ(o.bytes.load(), 0u);
    // A bad buffer: the error stands, the buffer's ends are left as they were.
    rule.status = STATUS_ACCESS_VIOLATION;
    fault_set(FAULT_ASYNC_READ, rule);
    Outcome bad;
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &bad, buffer, 1, 4);
    ASSERT_TRUE(bad.wait());
    EXPECT_EQ(bad.result.load(), ERROR_NOACCESS);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    fault_reset();
}
#endif

std::atomic<int> g_signal2_listener_calls{0};
void on_signal2(SignalListener*) {
    g_signal2_listener_calls.fetch_add(1);
}

TEST(RuntimeAsyncTest, SignalPipeByteThreeSetsThreeAndClearsTwo) {
    signal_reset(signal_number(2));
    SignalListener listener{};
    ASSERT_TRUE(signal_add_listener(signal_number(2), on_signal2, &listener));
    TestPipe pipe;
    pipe.put("\x03", 1);
    SignalPipeReader* reader = signal_pipe_reader_new();
    ASSERT_NE(reader, nullptr);
    HANDLE h = pipe.read;
    pipe.read = nullptr; // the reader owns it now
    ASSERT_TRUE(reader->ops->start(reader, &h));
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(eventually([] { return g_signal2_listener_calls.load() == 1; }));
    reader->ops->close(reader); // waits for the read to finish
    EXPECT_TRUE(signal_is_set(signal_number(3)));
    EXPECT_FALSE(signal_is_set(signal_number(2)));
    // The last reference goes through the second interface.
    reader->second->release_second(&reader->second);
}

// --- the stop, in a child process --------------------------------------------------

void stop_with_a_pending_read() {
    static TestPipe pipe;
    static char buffer[4];
    static Outcome pending, late;
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &pending, buffer, 1, 4);
    CHILD_CHECK(
        eventually([] { return __atomic_load_n(&alarm_idle_hook, __ATOMIC_ACQUIRE) != nullptr; }));
    alarm_shutdown(nullptr);
    CHILD_CHECK(pending.wait());
    CHILD_CHECK(pending.result.load() == ERROR_OPERATION_ABORTED ||
                pending.result.load() == ERROR_CANCELLED);
    CHILD_CHECK(signal_wait(&alarm_exited_signal, nullptr, 10000));
    // After the stop: refused at once, without a read.
    pipe.put("q", 1);
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &late, buffer, 1, 4);
    CHILD_CHECK(late.calls.load() == 1);
    CHILD_CHECK(late.result.load() == ERROR_CANCELLED);
    CHILD_CHECK(late.bytes.load() == 0);
    fprintf(stderr, "stopped cleanly\n");
    exit(0);
}

TEST(RuntimeAsyncDeathTest, TheStopCancelsPendingReadsAndRefusesNewOnes) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(stop_with_a_pending_read(), ::testing::ExitedWithCode(0), "stopped cleanly");
}

Outcome g_at_exit;
void report_at_exit() {
    // Registered before the alarm starts, so it runs after its teardown.
    int32_t result = g_at_exit.result.load();
    fprintf(stderr, "[read ended %d, cancelled %d][exited %d]", g_at_exit.calls.load(),
            int(result == ERROR_OPERATION_ABORTED || result == ERROR_CANCELLED),
            int(signal_is_set(&alarm_exited_signal)));
}

void exit_with_a_pending_read() {
    static TestPipe pipe;
    static char buffer[4];
    atexit(report_at_exit);
    async_read_start(pipe.read, nullptr, kNoTimeout, record, &g_at_exit, buffer, 1, 4);
    exit(0);
}

TEST(RuntimeAsyncDeathTest, ExitCancelsAPendingReadAndJoinsTheThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit_with_a_pending_read(), ::testing::ExitedWithCode(0),
                "\\[read ended 1, cancelled 1\\]\\[exited 1\\]");
}

} // namespace
