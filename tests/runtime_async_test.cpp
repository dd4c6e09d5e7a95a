// Asynchronous reads on pipes with real threads: reads gathered up to the
// minimum, the end of data, time-outs, cancels, the alarm module's stop and
// the signal pipe reader. Both builds run them, the Windows one on the real
// NtReadFile and APC delivery.
#include "base/runtime/async.h"
#include "base/test_control.h"

#include "base/alloc.h"
#include "base/runtime/signal.h"
#include "base/runtime/voalarm.h"
#include "platform/nt.h"
#include "tests/runtime_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
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

// --- races ---------------------------------------------------------------------------

// Runs after every timer that was due at 0 when it was queued, so once it has
// run, any step queued before it has run too.
void flag_timer(Timer* t) {
    __atomic_store_n(&t->due, 1, __ATOMIC_RELEASE);
}
bool alarm_flush() {
    Timer flag{};
    if (!alarm_schedule(&flag, flag_timer, 0)) return false;
    return eventually([&] { return __atomic_load_n(&flag.due, __ATOMIC_ACQUIRE) == 1; });
}

int32_t outstanding() {
    return __atomic_load_n(&async_outstanding, __ATOMIC_ACQUIRE);
}

struct HeldCallback {
    Outcome outcome;
    std::atomic<bool> entered{false};
    std::atomic<bool> go{false};
};

void hold_in_callback(void* user, int32_t result, uint64_t bytes) {
    HeldCallback* h = static_cast<HeldCallback*>(user);
    record(&h->outcome, result, bytes);
    h->entered = true;
    while (!h->go.load()) std::this_thread::yield();
}

// A cancel that comes once the outcome is being reported, while the record
// still lives (its callback has not returned), neither queues a step for it
// nor reports a second time.
TEST(RuntimeAsyncRaceTest, ACancelWhileTheCallbackRunsDoesNothing) {
    for (int round = 0; round < 20; ++round) {
        TestPipe pipe;
        pipe.put("abcd", 4);
        Signal cancel;
        signal_init(&cancel);
        char buffer[4];
        HeldCallback h;
        AsyncRead* r =
            async_read_start(pipe.read, &cancel, kNoTimeout, hold_in_callback, &h, buffer, 4, 4);
        ASSERT_TRUE(eventually([&] { return h.entered.load(); }));
        async_read_cancel(r);
        signal_set(&cancel);
        h.go = true;
        ASSERT_TRUE(eventually([] { return outstanding() == 0; }));
        ASSERT_TRUE(alarm_flush());
        ASSERT_EQ(h.outcome.calls.load(), 1) << "round " << round;
        ASSERT_EQ(h.outcome.result.load(), 0);
        ASSERT_EQ(h.outcome.bytes.load(), 4u);
    }
}

// The stress: one request at a time on a fresh pipe (minimum 4, at most 8
// bytes), its data, its cancel and its time-out racing from this thread and
// the alarm thread, with a random pause between them. Each request must be
// called back exactly once, with a result its bytes bear out: success only
// with the minimum, an end of data, a time-out or a cancel only where the
// case has one; the buffer holds the bytes reported, and what it did not
// take is still in the pipe.
enum CancelBy { kNoCancel, kBySignal, kByCall, kByBoth };
struct RaceCase {
    const char* name;
    int first;  // bytes written at once
    int second; // bytes written after the cancel
    bool close; // the data ends after the first bytes
    CancelBy cancel;
    int32_t timeout_ms;
    int pause;  // the pause before the cancel is up to this many read latencies
    bool fault; // the request's second native read fails
};

const RaceCase kRaceCases[] = {
    {"short data, then a cancel signal", 2, 2, false, kBySignal, kNoTimeout, 1, false},
    {"short data, then a direct cancel", 2, 2, false, kByCall, kNoTimeout, 1, false},
    {"enough data against a cancel signal", 4, 0, false, kBySignal, kNoTimeout, 1, false},
    {"enough data against a direct cancel", 4, 0, false, kByCall, kNoTimeout, 1, false},
    {"short data and its end against a signal", 2, 0, true, kBySignal, kNoTimeout, 1, false},
    {"short data against both cancels", 2, 2, false, kByBoth, kNoTimeout, 1, false},
    {"short data against a time-out", 2, 2, false, kNoCancel, 1, 0, false},
#ifndef _WIN32
    {"a failing second read against a cancel", 2, 0, false, kByCall, kNoTimeout, 1, true},
#endif
};

constexpr char kPattern[] = "abcdefgh";
constexpr uint64_t kMinimum = 4;

// Lives to the end of the test, so that a second callback would find it.
struct RaceSlot {
    std::mutex lock; // the callback's, also held around a direct cancel
    std::condition_variable called;
    int calls = 0;
    int32_t result = -1;
    uint64_t bytes = 0;
    char buffer[8] = {};
    Signal cancel;
};

void race_callback(void* user, int32_t result, uint64_t bytes) {
    RaceSlot* s = static_cast<RaceSlot*>(user);
    std::lock_guard<std::mutex> g(s->lock);
    ++s->calls;
    s->result = result;
    s->bytes = bytes;
    s->called.notify_all(); // under the lock: the slot's owner may go on once it is free
}

// The time from data written to the callback of a waiting read: the pauses
// of the stress spread over that, whatever the build's speed.
std::chrono::nanoseconds read_latency() {
    std::chrono::nanoseconds total{0};
    constexpr int kSamples = 20;
    for (int i = 0; i < kSamples; ++i) {
        TestPipe pipe;
        char buffer[1];
        Outcome o;
        async_read_start(pipe.read, nullptr, kNoTimeout, record, &o, buffer, 1, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        auto start = std::chrono::steady_clock::now();
        pipe.put("a", 1);
        while (o.calls.load() == 0) std::this_thread::yield();
        total += std::chrono::steady_clock::now() - start;
    }
    return total / kSamples;
}

void pause_for(std::chrono::nanoseconds d) {
    auto until = std::chrono::steady_clock::now() + d;
    while (std::chrono::steady_clock::now() < until) {
    }
}

int race_rounds() {
    if (const char* env = getenv("EOL_RACE_ROUNDS")) return atoi(env);
#if defined(_WIN32)
    return 400; // under Wine every read costs far more
#elif defined(__SANITIZE_THREAD__)
    return 100000;
#else
    return 120000;
#endif
}

// Why a result cannot be right for the case and its bytes, or null.
const char* race_fault(const RaceCase& c, int written, const RaceSlot& s) {
    if (s.bytes > uint64_t(written)) return "more bytes than were written";
    if (memcmp(s.buffer, kPattern, s.bytes) != 0) return "the buffer does not hold the bytes";
    if ((s.result == 0) != (s.bytes >= kMinimum)) return "success does not match the minimum";
    switch (s.result) {
    case 0:
        return nullptr;
    case ERROR_BROKEN_PIPE:
        return c.close ? nullptr : "the data ended, but it never did";
    case ERROR_SEM_TIMEOUT:
        return c.timeout_ms != kNoTimeout ? nullptr : "timed out without a time-out";
    case ERROR_OPERATION_ABORTED:
        return c.cancel != kNoCancel ? nullptr : "cancelled without a cancel";
    case 1450: // ERROR_NO_SYSTEM_RESOURCES
        return c.fault ? nullptr : "a read failed that was never made to";
    default:
        return "an outcome the request cannot have";
    }
}

TEST(RuntimeAsyncRaceTest, RacingCancelsDataAndTimeOutsEndEachReadOnce) {
    const int rounds = race_rounds();
    std::vector<std::unique_ptr<RaceSlot>> slots(rounds);
    std::mt19937 random(20261209);
    const auto latency = read_latency();
    int failures = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds && failures < 10; ++i) {
        const RaceCase& c = kRaceCases[i % (sizeof kRaceCases / sizeof kRaceCases[0])];
        slots[i] = std::make_unique<RaceSlot>();
        RaceSlot& s = *slots[i];
        signal_init(&s.cancel);
        TestPipe pipe;
        ASSERT_TRUE(pipe.read && pipe.write);
#ifndef _WIN32
        if (c.fault) {
            FaultRule rule;
            rule.skip = 1;
            rule.status = STATUS_INSUFFICIENT_RESOURCES;
            fault_set(FAULT_ASYNC_READ, rule);
        }
#endif
        AsyncRead* r;
        {
            // Held until the request is known, so a direct cancel can use it.
            std::lock_guard<std::mutex> g(s.lock);
            r = async_read_start(pipe.read, &s.cancel, c.timeout_ms, race_callback, &s, s.buffer,
                                 kMinimum, sizeof s.buffer);
        }
        ASSERT_NE(r, nullptr);
        int written = c.first;
        pipe.put(kPattern, DWORD(c.first));
        if (c.close) pipe.close_write();
        // No pause given: the time-out's, up to 2 ms.
        auto most = c.pause ? c.pause * latency : std::chrono::nanoseconds(2000000);
        pause_for(std::chrono::nanoseconds(random() % (most.count() + 1)));
        if (c.cancel == kBySignal || c.cancel == kByBoth) signal_set(&s.cancel);
        if (c.cancel == kByCall || c.cancel == kByBoth) {
            std::lock_guard<std::mutex> g(s.lock);
            if (!s.calls) async_read_cancel(r); // the record lives until the callback
        }
        if (c.second) {
            pipe.put(kPattern + written, DWORD(c.second));
            written += c.second;
        }
        std::unique_lock<std::mutex> g(s.lock);
        if (!s.called.wait_for(g, std::chrono::seconds(10), [&] { return s.calls > 0; })) {
            ADD_FAILURE() << c.name << ": round " << i << " never called back";
            ++failures;
            continue;
        }
        if (const char* why = race_fault(c, written, s)) {
            ADD_FAILURE() << c.name << ": round " << i << ": " << why << " (result " << s.result
                          << ", " << s.bytes << " bytes of " << written << ")";
            ++failures;
        }
        g.unlock();
#ifndef _WIN32
        fault_reset();
        // Nothing the read did not report was taken from the pipe.
        pipe.close_write();
        char rest[8];
        DWORD got = 0, drained = 0;
        while (ReadFile(pipe.read, rest, sizeof rest, &got, nullptr) && got > 0) drained += got;
        if (s.bytes + drained != uint64_t(written)) {
            ADD_FAILURE() << c.name << ": round " << i << ": " << s.bytes << " reported and "
                          << drained << " left of " << written;
            ++failures;
        }
#endif
    }
    // Every request is done once: none is outstanding, and nothing queued
    // for one of them is still to run.
    EXPECT_TRUE(eventually([] { return outstanding() == 0; })) << outstanding();
    ASSERT_TRUE(alarm_flush());
    int wrong = 0;
    for (auto& s : slots)
        if (s && s->calls != 1) ++wrong;
    EXPECT_EQ(wrong, 0) << "requests not called back exactly once";
    fprintf(stderr, "[ races ] %d rounds in %lld ms (read latency %lld us)\n", rounds,
            static_cast<long long>(elapsed_ms(start)),
            static_cast<long long>(latency.count() / 1000));
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
