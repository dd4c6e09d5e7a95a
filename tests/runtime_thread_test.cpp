#include "base/runtime/record.h"
#include "base/runtime/runtime.h"
#include "base/runtime/signal.h"
#include "base/runtime/thread.h"
#include "tests/runtime_support.h"
#ifndef _WIN32
#include "base/test_control.h"
#endif

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

struct Counts {
    int32_t records, finished;
};
Counts registry_counts() {
    RuntimeRecord* r = runtime_record();
    EnterCriticalSection(&r->registry_lock);
    Counts c{r->record_count, r->finished_count};
    LeaveCriticalSection(&r->registry_lock);
    return c;
}

// A thread entry that blocks until its gate is posted.
void wait_at_gate(void* gate) {
    sem_wait(static_cast<Semaphore*>(gate), nullptr, -1);
}

struct Seen {
    std::atomic<DWORD> entry_thread{0};
    std::atomic<DWORD> hook_thread{0};
    std::atomic<int> hook_calls{0};
};
void note_entry(void* p) {
    static_cast<Seen*>(p)->entry_thread = GetCurrentThreadId();
}
void note_hook(void* p) {
    Seen* s = static_cast<Seen*>(p);
    s->hook_thread = GetCurrentThreadId();
    ++s->hook_calls;
}

TEST(RuntimeThreadTest, EntryThenHookOnTheNewThread) {
    Counts before = registry_counts();
    Seen seen;
    ASSERT_TRUE(thread_start(note_entry, &seen, note_hook, &seen, 0x60000));
#ifndef _WIN32
    EXPECT_EQ(g_call_log.last_stack_size, 0x60000u);
    EXPECT_EQ(g_call_log.last_thread_flags, DWORD(STACK_SIZE_PARAM_IS_A_RESERVATION));
#endif
    ASSERT_TRUE(eventually([&] { return seen.hook_calls == 1; }));
    EXPECT_NE(seen.entry_thread, GetCurrentThreadId());
    EXPECT_EQ(seen.hook_thread, seen.entry_thread);
    ASSERT_TRUE(eventually([&] { return registry_counts().finished == before.finished + 1; }));
    EXPECT_EQ(registry_counts().records, before.records + 1);
#ifndef _WIN32
    EXPECT_EQ(g_call_log.last_priority, THREAD_PRIORITY_TIME_CRITICAL);
#endif
}

// With n records (the new one included) and f finished, a start reaps every
// finished record exactly when f > n / 2 + 2; never the new one.
TEST(RuntimeThreadTest, ReapingRuleAtItsBoundary) {
    bool saw_boundary = false, saw_reap = false;
    for (int i = 0; i < 16; ++i) {
        Counts c = registry_counts();
        int32_t n = c.records + 1;
        bool reap = c.finished > n / 2 + 2;
        saw_boundary |= c.finished == n / 2 + 2;
        saw_reap |= reap;
        Semaphore gate{};
        ASSERT_TRUE(thread_start(wait_at_gate, &gate, nullptr, nullptr, 0));
        Counts after = registry_counts();
        if (reap) {
            EXPECT_EQ(after.records, n - c.finished) << i;
            EXPECT_EQ(after.finished, 0) << i;
        } else {
            EXPECT_EQ(after.records, n) << i;
            EXPECT_EQ(after.finished, c.finished) << i;
        }
        sem_post(&gate);
        ASSERT_TRUE(eventually([&] { return registry_counts().finished == after.finished + 1; }));
    }
    EXPECT_TRUE(saw_boundary);
    EXPECT_TRUE(saw_reap);
}

void note_thread(void* p) {
    static_cast<std::atomic<DWORD>*>(p)->store(GetCurrentThreadId());
}

TEST(RuntimePoolTest, FinishedJobsThreadIsReused) {
    std::atomic<DWORD> first{0}, second{0};
    ASSERT_TRUE(pool_run(note_thread, &first));
    ASSERT_TRUE(eventually([&] { return first != 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // back on the idle stack
    ASSERT_TRUE(pool_run(note_thread, &second));
    ASSERT_TRUE(eventually([&] { return second != 0; }));
    EXPECT_EQ(first.load(), second.load());
}

struct Gate {
    Semaphore sem{};
    std::atomic<int> running{0};
};
void run_at_gate(void* p) {
    Gate* g = static_cast<Gate*>(p);
    ++g->running;
    sem_wait(&g->sem, nullptr, -1);
    --g->running;
}

// A batch of jobs that all run at once needs that many threads; the next
// batch finds them idle and creates none.
TEST(RuntimePoolTest, HoldsNoMoreThreadsThanJobsRanAtOnce) {
    constexpr int kBatch = 6;
    Gate gate;
    for (int round = 0; round < 2; ++round) {
#ifndef _WIN32
        uint32_t created = g_call_log.threads_created;
#endif
        for (int i = 0; i < kBatch; ++i) ASSERT_TRUE(pool_run(run_at_gate, &gate));
        ASSERT_TRUE(eventually([&] { return gate.running == kBatch; }));
        for (int i = 0; i < kBatch; ++i) sem_post(&gate.sem);
        ASSERT_TRUE(eventually([&] { return gate.running == 0; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
#ifndef _WIN32
        if (round == 1) {
            EXPECT_EQ(g_call_log.threads_created, created);
        }
#endif
    }
}

struct Tally {
    std::vector<std::atomic<int>> runs;
    explicit Tally(size_t n) : runs(n) {}
};
struct JobArg {
    Tally* tally;
    size_t index;
};
void count_job(void* p) {
    JobArg* a = static_cast<JobArg*>(p);
    ++a->tally->runs[a->index];
}

TEST(RuntimePoolTest, ThousandsOfJobsFromSeveralThreadsRunOnce) {
    constexpr size_t kSubmitters = 4, kJobs = 750;
    Tally tally(kSubmitters * kJobs);
    std::vector<JobArg> args(kSubmitters * kJobs);
    for (size_t i = 0; i < args.size(); ++i) args[i] = {&tally, i};
    std::atomic<int> refused{0};
    std::vector<std::thread> submitters;
    for (size_t s = 0; s < kSubmitters; ++s)
        submitters.emplace_back([&, s] {
            for (size_t j = 0; j < kJobs; ++j)
                if (!pool_run(count_job, &args[s * kJobs + j])) ++refused;
        });
    for (auto& t : submitters) t.join();
    EXPECT_EQ(refused, 0);
    ASSERT_TRUE(eventually([&] {
        for (auto& r : tally.runs)
            if (r == 0) return false;
        return true;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t i = 0; i < tally.runs.size(); ++i) ASSERT_EQ(tally.runs[i], 1) << i;
}

#ifndef _WIN32
// CreateThread failing: a finished record stays for threads_reap_all, and
// pool_run refuses the job when no idle worker is there to take it.
TEST(RuntimeThreadTest, CreationFailure) {
    Counts before = registry_counts();
    Seen seen;
    FaultRule rule;
    rule.error = ERROR_NOT_ENOUGH_MEMORY;
    fault_set(FAULT_THREAD, rule);
    EXPECT_FALSE(thread_start(note_entry, &seen, note_hook, &seen, 0));
    Counts after = registry_counts();
    EXPECT_EQ(after.records, before.records + 1);
    EXPECT_EQ(after.finished, before.finished + 1);
    EXPECT_EQ(seen.hook_calls, 0); // the hook is dropped, not run
    EXPECT_EQ(seen.entry_thread, 0u);

    // Keep every idle worker busy, until the pool has to create a thread.
    Gate gate;
    int busy = 0;
    for (uint32_t created = g_call_log.threads_created; g_call_log.threads_created == created;) {
        ASSERT_TRUE(pool_run(run_at_gate, &gate));
        ++busy;
    }
    ASSERT_TRUE(eventually([&] { return gate.running == busy; }));
    fault_set(FAULT_THREAD, rule);
    std::atomic<DWORD> ran{0};
    EXPECT_FALSE(pool_run(note_thread, &ran));
    for (int i = 0; i < busy; ++i) sem_post(&gate.sem);
    ASSERT_TRUE(eventually([&] { return gate.running == 0; }));
    EXPECT_EQ(ran, 0u);
    fault_reset();
}
#endif

void exit_inside(void*) {
    ExitThread(0);
}

// Last of the thread tests (their suite is defined last): exit-time reaping
// stops the pool for good.
TEST(RuntimeThreadExitTest, ReapAllJoinsEveryThreadAndStopsThePool) {
    Seen seen;
    ASSERT_TRUE(thread_start(exit_inside, nullptr, note_hook, &seen, 0));
#ifndef _WIN32
    EXPECT_EQ(g_call_log.last_stack_size, 0u);
    EXPECT_EQ(g_call_log.last_thread_flags, 0u);
#endif
    Gate gate;
    ASSERT_TRUE(pool_run(run_at_gate, &gate)); // busy while the reaping begins
    ASSERT_TRUE(eventually([&] { return gate.running == 1; }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        sem_post(&gate.sem);
    });
    threads_reap_all();
    releaser.join();
    EXPECT_TRUE(signal_is_set(signal_number(5)));
    EXPECT_TRUE(signal_is_set(signal_number(6)));
    // The thread that ended inside its entry was finished by its joiner.
    EXPECT_EQ(seen.hook_calls, 1);
    EXPECT_EQ(seen.hook_thread, GetCurrentThreadId());
    Counts c = registry_counts();
    EXPECT_EQ(c.records, 0);
    EXPECT_EQ(c.finished, 0);
#ifndef _WIN32
    EXPECT_EQ(fault_live_thread_handles(), 0u);
#endif

    // After signal 5 a job still runs, on a thread that then exits.
    std::atomic<DWORD> ran{0};
    ASSERT_TRUE(pool_run(note_thread, &ran));
    ASSERT_TRUE(eventually([&] { return ran != 0; }));
    RuntimeRecord* r = runtime_record();
    ASSERT_TRUE(eventually([&] {
        EnterCriticalSection(&r->registry_lock);
        HANDLE h = r->threads ? r->threads->handle : nullptr;
        LeaveCriticalSection(&r->registry_lock);
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        return h && NtWaitForSingleObject(h, FALSE, &zero) == STATUS_SUCCESS;
    }));
    threads_reap_all();
    EXPECT_EQ(registry_counts().records, 0);
#ifndef _WIN32
    EXPECT_EQ(fault_live_thread_handles(), 0u);
#endif
}

TEST(RuntimeThreadExitTest, ReapAllWithNothingStartedSetsBothSignals) {
    signal_reset(signal_number(5));
    signal_reset(signal_number(6));
    threads_reap_all();
    EXPECT_TRUE(signal_is_set(signal_number(5)));
    EXPECT_TRUE(signal_is_set(signal_number(6)));
    // Clear again for the tests of other files, which may run later (the
    // pool stays stopped).
    signal_reset(signal_number(5));
    signal_reset(signal_number(6));
}

} // namespace
