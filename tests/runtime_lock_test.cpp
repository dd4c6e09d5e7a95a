#include "base/alloc.h"
#include "base/test_control.h"
#include "base/runtime/record.h"
#include "base/runtime/runtime.h"
#include "base/runtime/signal.h"
#include "tests/runtime_support.h"
#ifndef _WIN32
#endif

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

TEST(RuntimeRecordTest, LayoutAfterStartUp) {
    RuntimeRecord* r = runtime_record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r) % 64, 0u);
    EXPECT_EQ(r->block_size, 2256u);
    char* block = static_cast<char*>(r->block);
    EXPECT_GE(reinterpret_cast<char*>(r), block);
    EXPECT_LT(reinterpret_cast<char*>(r), block + 64);
    EXPECT_LE(reinterpret_cast<char*>(r + 1), block + 2256);
    EXPECT_GE(r->epoch, 1);
    EXPECT_EQ(reinterpret_cast<char*>(&r->pools[1]) - reinterpret_cast<char*>(&r->pools[0]), 64);
}

TEST(RuntimeRecordTest, ThreadHashIsWangs) {
    EXPECT_EQ(thread_hash(0), 0xf7e009772aeaa2abull);
    EXPECT_EQ(thread_hash(1), 0x15515fbcull);
    EXPECT_EQ(thread_hash(0x1234), 0x184661fafafull);
}

TEST(RuntimeRecordTest, BlocksFromHeapAndPages) {
    char* small = static_cast<char*>(block_alloc(100));
    char* large = static_cast<char*>(block_alloc(65536));
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    small[99] = 1;
    large[0] = large[65535] = 1;
    block_free(small, 100);
    block_free(large, 65536);
    block_free(nullptr, 65536);
    mem_fail_at(1);
    EXPECT_EQ(block_alloc(100), nullptr);
    mem_fail_at(0);
#ifndef _WIN32
    FaultRule rule;
    rule.status = STATUS_NO_MEMORY;
    fault_set(FAULT_VMALLOC, rule);
    EXPECT_EQ(block_alloc(4096), nullptr);
    fault_reset();
#endif
}

// Tears the runtime down and brings it back, as exit handlers and a retry
// after a failed start would see it.
TEST(RuntimeRecordTest, TeardownLeavesLocksUsableAndInitRetries) {
    LightLock held{};
    light_lock(&held); // held across the teardown
    runtime_teardown();
    EXPECT_EQ(runtime_record(), nullptr);
    EXPECT_TRUE(signal_is_set(signal_number(5)));
    EXPECT_TRUE(signal_is_set(signal_number(6)));
    // No record: locks only note their owner, and nothing re-creates it.
    LightLock l{};
    light_lock(&l);
    EXPECT_EQ(l.owner, uint64_t(GetCurrentThreadId()));
    light_unlock(&l);
    EXPECT_EQ(l.owner, 0u);
    Semaphore s{};
    sem_post(&s);
    EXPECT_TRUE(sem_wait(&s, nullptr, 0));
    EXPECT_EQ(runtime_record(), nullptr);

    // A record that cannot be allocated is not published; the next try works.
    LightLock early{};
    light_lock(&early); // taken with no record, released with one
    mem_fail_at(1);
    EXPECT_FALSE(runtime_init());
    mem_fail_at(0);
    EXPECT_EQ(runtime_record(), nullptr);
    EXPECT_TRUE(runtime_init());
    ASSERT_NE(runtime_record(), nullptr);
    light_unlock(&early);
    light_unlock(&held);
    light_lock(&early);
    light_unlock(&early);
    EXPECT_EQ(lock_word(early), 0u);
    signal_reset(signal_number(5));
    signal_reset(signal_number(6));
}

TEST(RuntimeParkerTest, WakeBeforeWaitReturnsAtOnce) {
    Parker p{};
    parker_wake(&p);
    EXPECT_TRUE(parker_wait(&p, -1, false));
    EXPECT_EQ(p.node, nullptr);
}

TEST(RuntimeParkerTest, ZeroTimeOutReturnsFalseWithoutBlocking) {
    Parker p{};
    EXPECT_FALSE(parker_wait(&p, 0, false));
    EXPECT_EQ(p.state, 0);
    ASSERT_NE(p.node, nullptr);
    node_return(p.pool, p.node);
}

TEST(RuntimeParkerTest, WokenByAnotherThread) {
    Parker p{};
    std::atomic<int> result{-1};
    std::thread t([&] { result = parker_wait(&p, -1, false) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return __atomic_load_n(&p.state, __ATOMIC_SEQ_CST) != 0; }));
    parker_wake(&p);
    t.join();
    EXPECT_EQ(result, 1);
    ASSERT_NE(p.node, nullptr);
    node_return(p.pool, p.node);
}

#ifndef _WIN32
// With a fresh record the pools are empty; with event creation failing a
// parker goes on without a node, timing out and being woken all the same.
TEST(RuntimeParkerTest, WithoutAnEvent) {
    runtime_teardown();
    ASSERT_TRUE(runtime_init());
    signal_reset(signal_number(5));
    signal_reset(signal_number(6));
    FaultRule rule;
    rule.count = 0;
    rule.status = STATUS_INSUFFICIENT_RESOURCES;
    fault_set(FAULT_EVENT, rule);
    EXPECT_EQ(node_take(), nullptr);
    Parker p{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(parker_wait(&p, 30, false));
    EXPECT_GE(elapsed_ms(start), 25);
    EXPECT_EQ(p.node, nullptr);
    EXPECT_EQ(p.state, 0);

    Parker q{};
    std::atomic<int> result{-1};
    std::thread t([&] { result = parker_wait(&q, 60000, false) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return __atomic_load_n(&q.state, __ATOMIC_SEQ_CST) != 0; }));
    parker_wake(&q);
    t.join();
    EXPECT_EQ(result, 1);

    // A contended lock still hands over.
    LightLock l{};
    light_lock(&l);
    uint64_t mine = lock_word(l);
    std::thread u([&] {
        light_lock(&l);
        light_unlock(&l);
    });
    ASSERT_TRUE(eventually([&] { return lock_word(l) != mine; }));
    light_unlock(&l);
    u.join();
    EXPECT_EQ(lock_word(l), 0u);
    fault_reset();
}
#endif

TEST(RuntimeLockTest, ThreeWaitersGrantedInArrivalOrder) {
    LightLock l{};
    light_lock(&l);
    std::mutex m;
    std::vector<char> order;
    std::vector<std::thread> threads;
    for (char name : {'A', 'B', 'C'}) {
        uint64_t before = lock_word(l);
        threads.emplace_back([&, name] {
            light_lock(&l);
            {
                std::lock_guard<std::mutex> g(m);
                order.push_back(name);
            }
            light_unlock(&l);
        });
        // Queued: the word now points at the newcomer.
        ASSERT_TRUE(eventually([&] { return lock_word(l) != before; }));
    }
    light_unlock(&l);
    for (auto& t : threads) t.join();
    EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'C'}));
    EXPECT_EQ(lock_word(l), 0u);
    EXPECT_EQ(l.owner, 0u);
}

TEST(RuntimeLockTest, AnotherThreadMayReleaseOnBehalfOfTheHolder) {
    LightLock l{};
    light_lock(&l);
    std::thread([&] { light_unlock(&l); }).join();
    EXPECT_EQ(lock_word(l), 0u);
    light_lock(&l);
    uint64_t mine = lock_word(l);
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        light_lock(&l);
        got = true;
        light_unlock(&l);
    });
    ASSERT_TRUE(eventually([&] { return lock_word(l) != mine; }));
    std::thread([&] { light_unlock(&l); }).join();
    waiter.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(lock_word(l), 0u);
}

TEST(RuntimeLockTest, ManyThreadsCountExactly) {
    LightLock l{};
    uint64_t counter = 0;
    constexpr int kThreads = 6, kRounds = 20000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < kRounds; ++j) {
                light_lock(&l);
                ++counter;
                light_unlock(&l);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, uint64_t(kThreads) * kRounds);
    EXPECT_EQ(lock_word(l), 0u);
}

TEST(RuntimeLockTest, AddressLocksExclude) {
    static int guarded;
    lock_for_address(&guarded);
    std::atomic<bool> in{false};
    std::thread t([&] {
        lock_for_address(&guarded);
        in = true;
        unlock_for_address(&guarded);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(in);
    unlock_for_address(&guarded);
    t.join();
    EXPECT_TRUE(in);
}

TEST(RuntimeSemaphoreTest, CountThenTimeOutLeavesNoWaiter) {
    Semaphore s{};
    sem_post(&s);
    sem_post(&s);
    EXPECT_EQ(sem_count(s), 2);
    EXPECT_TRUE(sem_wait(&s, nullptr, 0));
    EXPECT_TRUE(sem_wait(&s, nullptr, 0));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sem_wait(&s, nullptr, 50));
    EXPECT_GE(elapsed_ms(start), 45);
    EXPECT_EQ(sem_count(s), 0);
    EXPECT_EQ(s.head, nullptr);
    EXPECT_EQ(s.tail, nullptr);
    // The next post is a plain permit, not lost to the gone waiter.
    sem_post(&s);
    EXPECT_EQ(sem_count(s), 1);
    EXPECT_TRUE(sem_wait(&s, nullptr, 0));
}

TEST(RuntimeSemaphoreTest, CancelSignalAlreadySet) {
    Semaphore s{};
    Signal cancel;
    signal_init(&cancel);
    signal_set(&cancel);
    EXPECT_FALSE(sem_wait(&s, &cancel, -1));
    EXPECT_EQ(sem_count(s), 0);
    EXPECT_EQ(s.head, nullptr);
    sem_post(&s);
    EXPECT_TRUE(sem_wait(&s, &cancel, -1)); // a free permit wins
    EXPECT_EQ(sem_count(s), 0);
}

TEST(RuntimeSemaphoreTest, CancelledWhileWaiting) {
    Semaphore s{};
    Signal cancel;
    signal_init(&cancel);
    std::atomic<int> result{-1};
    std::thread t([&] { result = sem_wait(&s, &cancel, -1) ? 1 : 0; });
    ASSERT_TRUE(eventually([&] { return sem_count(s) == -1; }));
    signal_set(&cancel);
    t.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sem_count(s), 0);
    EXPECT_EQ(s.head, nullptr);
    EXPECT_EQ(cancel.listeners, nullptr);
}

TEST(RuntimeSemaphoreTest, PermitsGoInArrivalOrder) {
    Semaphore s{};
    std::mutex m;
    std::vector<char> order;
    std::vector<std::thread> threads;
    int32_t queued = 0;
    for (char name : {'A', 'B', 'C'}) {
        threads.emplace_back([&, name] {
            EXPECT_TRUE(sem_wait(&s, nullptr, -1));
            std::lock_guard<std::mutex> g(m);
            order.push_back(name);
        });
        --queued;
        ASSERT_TRUE(eventually([&] { return sem_count(s) == queued; }));
    }
    for (int i = 0; i < 3; ++i) {
        sem_post(&s);
        ASSERT_TRUE(eventually([&] {
            std::lock_guard<std::mutex> g(m);
            return order.size() == size_t(i + 1);
        }));
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(order, (std::vector<char>{'A', 'B', 'C'}));
    EXPECT_EQ(sem_count(s), 0);
}

// Posters and takers, some giving up by time-out (one at once, so that its
// time-outs meet posts that have just claimed it) and some by cancellation:
// every permit posted is either taken or still counted.
TEST(RuntimeSemaphoreTest, PermitsConservedUnderContention) {
    Semaphore s{};
    Signal cancel;
    signal_init(&cancel);
    constexpr int kPosters = 3, kPosts = 3000, kTakers = 4;
    std::atomic<int> taken{0};
    std::atomic<bool> posting{true};
    std::vector<std::thread> threads;
    for (int i = 0; i < kTakers; ++i)
        threads.emplace_back([&, i] {
            while (posting || sem_count(s) > 0) {
                bool ok = i == 3  ? sem_wait(&s, nullptr, 0)
                          : i % 2 ? sem_wait(&s, nullptr, 1)
                                  : sem_wait(&s, &cancel, 2);
                if (ok) ++taken;
            }
        });
    std::thread canceller([&] {
        while (posting) {
            signal_set(&cancel);
            std::this_thread::yield();
            signal_reset(&cancel);
        }
    });
    for (int i = 0; i < kPosters; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < kPosts; ++j) sem_post(&s);
        });
    for (int i = kTakers; i < kTakers + kPosters; ++i) threads[i].join();
    posting = false;
    canceller.join();
    for (int i = 0; i < kTakers; ++i) threads[i].join();
    EXPECT_EQ(taken + sem_count(s), kPosters * kPosts);
    EXPECT_EQ(sem_count(s), 0);
    EXPECT_EQ(s.head, nullptr);
}

void note_apc(ULONG_PTR data) {
    ++*reinterpret_cast<int*>(data);
}

TEST(RuntimeSleepTest, ForeverEndsOnlyByAnAlert) {
    int calls = 0;
    ASSERT_NE(QueueUserAPC(note_apc, GetCurrentThread(), reinterpret_cast<ULONG_PTR>(&calls)), 0u);
    sleep_ms(-1);
    EXPECT_EQ(calls, 1);
    auto start = std::chrono::steady_clock::now();
    sleep_ms(15);
    EXPECT_GE(elapsed_ms(start), 10);
}

} // namespace
