// The alarm thread with real threads: batches and order, waking, cancels,
// signal timers, and (in child processes, as the module never restarts) its
// stop, its finish hook, the idle hook and its fatal start failures.
#include "base/runtime/voalarm.h"
#include "base/test_control.h"

#include "base/runtime/lock.h"
#include "base/runtime/signal.h"
#include "base/runtime/tick.h"
#include "platform/nt.h"
#include "tests/runtime_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#ifndef _WIN32

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Probe {
    Timer timer{};
    std::atomic<int> runs{0};
    std::atomic<DWORD> thread{0};
    std::atomic<int>* order = nullptr; // shared sequence counter
    std::atomic<int> position{-1};
};

void probe_fire(Timer* t) {
    Probe* p = reinterpret_cast<Probe*>(t);
    p->thread = GetCurrentThreadId();
    if (p->order) p->position = p->order->fetch_add(1);
    p->runs.fetch_add(1);
}

TEST(RuntimeAlarmTest, DueZeroRunsOnTheAlarmThreadAtTheNextPass) {
    Probe p;
    ASSERT_TRUE(alarm_schedule(&p.timer, probe_fire, 0));
    ASSERT_TRUE(eventually([&] { return p.runs.load() == 1; }));
    EXPECT_NE(p.thread.load(), GetCurrentThreadId());
    // A past due time is the same as 0.
    Probe q;
    ASSERT_TRUE(alarm_schedule(&q.timer, probe_fire, tick_now() - 1000));
    ASSERT_TRUE(eventually([&] { return q.runs.load() == 1; }));
    EXPECT_EQ(q.thread.load(), p.thread.load());
    EXPECT_FALSE(alarm_cancel(&p.timer)); // has fired
}

TEST(RuntimeAlarmTest, EqualDueTimesFireInSchedulingOrder) {
    std::atomic<int> order{0};
    Probe p[6];
    uint64_t due = tick_now() + 30;
    for (Probe& x : p) {
        x.order = &order;
        ASSERT_TRUE(alarm_schedule(&x.timer, probe_fire, due));
    }
    Probe early;
    early.order = &order;
    ASSERT_TRUE(alarm_schedule(&early.timer, probe_fire, due - 10));
    ASSERT_TRUE(eventually([&] {
        int runs = early.runs.load();
        for (Probe& x : p) runs += x.runs.load();
        return runs == 7;
    }));
    EXPECT_EQ(early.position.load(), 0);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p[i].position.load(), i + 1);
}

TEST(RuntimeAlarmTest, OnlyANewFirstTimerWakesTheThread) {
    Probe distant, farther, soon;
    uint64_t now = tick_now();
    ASSERT_TRUE(alarm_schedule(&distant.timer, probe_fire, now + 3600000));
    uint64_t wakes = alarm_test_wakes();
    ASSERT_TRUE(alarm_schedule(&farther.timer, probe_fire, now + 7200000));
    EXPECT_EQ(alarm_test_wakes(), wakes);
    // Earlier than all: the thread, waiting for the distant timer, is woken and
    // fires the new one on time.
    ASSERT_TRUE(alarm_schedule(&soon.timer, probe_fire, now + 20));
    EXPECT_EQ(alarm_test_wakes(), wakes + 1);
    ASSERT_TRUE(eventually([&] { return soon.runs.load() == 1; }));
    EXPECT_TRUE(alarm_cancel(&distant.timer));
    EXPECT_TRUE(alarm_cancel(&farther.timer));
    EXPECT_FALSE(alarm_cancel(&distant.timer));
    EXPECT_EQ(distant.runs.load() + farther.runs.load(), 0);
}

TEST(RuntimeAlarmTest, CancelTakesAQueuedTimerAndNotAFiredOne) {
    Probe cancelled, witness;
    uint64_t now = tick_now();
    ASSERT_TRUE(alarm_schedule(&cancelled.timer, probe_fire, now + 20));
    EXPECT_TRUE(alarm_cancel(&cancelled.timer));
    EXPECT_FALSE(alarm_cancel(&cancelled.timer));
    ASSERT_TRUE(alarm_schedule(&witness.timer, probe_fire, now + 60));
    ASSERT_TRUE(eventually([&] { return witness.runs.load() == 1; }));
    EXPECT_EQ(cancelled.runs.load(), 0);
    EXPECT_FALSE(alarm_cancel(&witness.timer));
    EXPECT_FALSE(alarm_cancel(&witness.timer)); // never scheduled again
}

TEST(RuntimeAlarmTest, ADueTimeBeyondTheLongestWaitStaysQueued) {
    Probe distant, soon;
    uint64_t now = tick_now();
    ASSERT_TRUE(alarm_schedule(&distant.timer, probe_fire, now + 0x80000000ull));
    ASSERT_TRUE(alarm_schedule(&soon.timer, probe_fire, now + 10));
    ASSERT_TRUE(eventually([&] { return soon.runs.load() == 1; }));
    // A distance whose low 32 bits are 0 must not read as "due now".
    Probe wrap;
    ASSERT_TRUE(alarm_schedule(&wrap.timer, probe_fire, tick_now() + 0x100000000ull));
    Probe after;
    ASSERT_TRUE(alarm_schedule(&after.timer, probe_fire, 0));
    ASSERT_TRUE(eventually([&] { return after.runs.load() == 1; }));
    EXPECT_TRUE(alarm_cancel(&distant.timer));
    EXPECT_TRUE(alarm_cancel(&wrap.timer));
    EXPECT_EQ(distant.runs.load() + wrap.runs.load(), 0);
}

// A callback that schedules itself again until it has run `left` times.
struct Repeater {
    Timer timer;
    std::atomic<int> left;
};
void repeat(Timer* t) {
    Repeater* r = reinterpret_cast<Repeater*>(t);
    if (r->left.fetch_sub(1) > 1) alarm_schedule(t, repeat, 0);
}

TEST(RuntimeAlarmTest, ThreadsScheduleAndCancelConcurrently) {
    Repeater self{};
    self.left = 100;
    ASSERT_TRUE(alarm_schedule(&self.timer, repeat, 0));

    constexpr int kThreads = 4, kTimers = 16, kRounds = 1500;
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int n = 0; n < kThreads; ++n) {
        threads.emplace_back([n, &mismatches] {
            std::mt19937 rng(n);
            Probe timers[kTimers];
            int cancelled[kTimers] = {}, scheduled[kTimers] = {};
            for (int round = 0; round < kRounds; ++round) {
                int i = rng() % kTimers;
                Probe& p = timers[i];
                if (alarm_cancel(&p.timer)) {
                    ++cancelled[i];
                } else if (p.runs.load() + cancelled[i] == scheduled[i]) {
                    // Not queued and not running: free to schedule again.
                    alarm_schedule(&p.timer, probe_fire, tick_now() + rng() % 3);
                    ++scheduled[i];
                }
            }
            for (int i = 0; i < kTimers; ++i) {
                if (alarm_cancel(&timers[i].timer)) ++cancelled[i];
                Probe& p = timers[i];
                if (!eventually([&] { return p.runs.load() + cancelled[i] == scheduled[i]; }))
                    ++mismatches;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_TRUE(eventually([&] { return self.left.load() == 0; }));
}

TEST(RuntimeAlarmTest, SignalTimerSetsItsSignalOrIsStoppedCleanly) {
    Signal s;
    signal_init(&s);
    SignalTimer st{};
    // Stopped while queued: the signal stays clear, the mark is down.
    ASSERT_TRUE(signal_timer_schedule(&st, &s, tick_now() + 3600000));
    signal_timer_stop(&st);
    EXPECT_EQ(st.timer.callback, nullptr);
    EXPECT_FALSE(signal_is_set(&s));
    // Come due: the signal is set; stopping afterwards returns at once.
    ASSERT_TRUE(signal_timer_schedule(&st, &s, 0));
    EXPECT_TRUE(signal_wait(&s, nullptr, 10000));
    signal_timer_stop(&st);
    EXPECT_EQ(st.timer.callback, nullptr);
    // Stops racing the alarm thread: on return the completion has run or
    // never will, and the record may go.
    for (int i = 0; i < 200; ++i) {
        signal_reset(&s);
        SignalTimer* racing = new SignalTimer{};
        ASSERT_TRUE(signal_timer_schedule(racing, &s, 0));
        if (i % 2) std::this_thread::yield();
        signal_timer_stop(racing);
        EXPECT_EQ(__atomic_load_n(&racing->timer.callback, __ATOMIC_ACQUIRE), nullptr);
        delete racing;
    }
}

// --- the stop, in child processes ---------------------------------------------

std::atomic<int32_t> g_idle_answer{0};
std::atomic<int32_t> g_idle_calls{0};
int32_t test_idle_hook() {
    g_idle_calls.fetch_add(1);
    return g_idle_answer.load();
}

void stop_with_idle_hook_and_queued_timers() {
    alarm_idle_hook = test_idle_hook;
    std::atomic<int> order{0};
    static Probe late[3];
    uint64_t now = tick_now();
    for (Probe& p : late) p.order = &order;
    CHILD_CHECK(alarm_schedule(&late[1].timer, probe_fire, now + 7200000));
    CHILD_CHECK(alarm_schedule(&late[2].timer, probe_fire, now + 7200000));
    CHILD_CHECK(alarm_schedule(&late[0].timer, probe_fire, now + 3600000));
    alarm_shutdown(nullptr);
    // The idle hook holds the thread: it is asked, and says no.
    CHILD_CHECK(eventually([] { return g_idle_calls.load() > 0; }));
    CHILD_CHECK(!signal_wait(&alarm_exited_signal, nullptr, 100));
    CHILD_CHECK(order.load() == 0);
    // Once it agrees and the thread is woken, the finish hook fires the
    // queued timers at once, in due order.
    g_idle_answer = 1;
    alarm_wake();
    CHILD_CHECK(signal_wait(&alarm_exited_signal, nullptr, 10000));
    for (int i = 0; i < 3; ++i) CHILD_CHECK(late[i].position.load() == i);
    // Stopped for good: nothing is queued any more.
    Probe refused;
    CHILD_CHECK(!alarm_schedule(&refused.timer, probe_fire, 0));
    CHILD_CHECK(!refused.timer.node.parent && !refused.timer.callback);
    fprintf(stderr, "stopped cleanly\n");
    exit(0);
}

TEST(RuntimeAlarmDeathTest, IdleHookHoldsTheThreadThenTheFinishHookFiresWhatIsLeft) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(stop_with_idle_hook_and_queued_timers(), ::testing::ExitedWithCode(0),
                "stopped cleanly");
}

Probe g_at_exit;
void report_at_exit() {
    // Registered before the alarm starts, so it runs after its teardown.
    fprintf(stderr, "[fired %d][exited %d]", g_at_exit.runs.load(),
            int(signal_is_set(&alarm_exited_signal)));
}

void exit_with_a_far_timer() {
    atexit(report_at_exit);
    alarm_schedule(&g_at_exit.timer, probe_fire, tick_now() + 3600000);
    exit(0);
}

TEST(RuntimeAlarmDeathTest, ExitJoinsTheThreadWithoutWaitingForAFarTimer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exit_with_a_far_timer(), ::testing::ExitedWithCode(0),
                "\\[fired 1\\]\\[exited 1\\]");
}

#ifndef _WIN32
// The fatal report goes to standard output; the child sends it to a file.
[[noreturn]] void start_failing(FaultOp op, const char* path) {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(fd, 1);
    FaultRule rule;
    rule.status = STATUS_INSUFFICIENT_RESOURCES;
    rule.error = ERROR_NOT_ENOUGH_MEMORY;
    fault_set(op, rule);
    Probe p;
    alarm_schedule(&p.timer, probe_fire, 0);
    fprintf(stderr, "not reported\n");
    exit(0);
}

std::string read_all(const std::string& path) {
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    remove(path.c_str());
    return text;
}

bool died_of_trap(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGTRAP;
}

TEST(RuntimeAlarmDeathTest, StartFailuresAreFatalWithTheirLines) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The child runs this body again: it takes the parent's file name.
    const char* inherited = getenv("EOLSET_ALARM_FATAL_OUT");
    std::string path =
        inherited && *inherited ? inherited : "/tmp/eolset_alarm_fatal_" + std::to_string(getpid());
    setenv("EOLSET_ALARM_FATAL_OUT", path.c_str(), 1);
    EXPECT_EXIT(start_failing(FAULT_EVENT, path.c_str()), died_of_trap, "");
    EXPECT_EQ(read_all(path), "FATAL: base\\voalarm:60 ");
    EXPECT_EXIT(start_failing(FAULT_THREAD, path.c_str()), died_of_trap, "");
    EXPECT_EQ(read_all(path),
              "FATAL: base\\voalarm:231 Resource exhaustion initializing alarm thread.\n");
    unsetenv("EOLSET_ALARM_FATAL_OUT");
}
#endif

} // namespace
