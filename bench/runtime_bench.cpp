// The runtime's primitives against the standard library's: an uncontended
// lock and unlock, a semaphore's fast path, a two-thread ping-pong, and the
// pool's cost per job against a thread per job.
#include "base/runtime/semaphore.h"
#include "base/runtime/thread.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>

namespace {

// glibc skips the atomic instructions of std::mutex while a process has a
// single thread; the "/threads_alive" variants keep a second thread parked,
// as in any program that needs a lock.
struct ParkedThread {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t;
    ParkedThread()
        : t([this] {
              std::unique_lock<std::mutex> g(m);
              cv.wait(g, [this] { return done; });
          }) {}
    ~ParkedThread() {
        {
            std::lock_guard<std::mutex> g(m);
            done = true;
        }
        cv.notify_one();
        t.join();
    }
};

void BM_LightLockUncontended(benchmark::State& state) {
    ParkedThread* other = state.range(0) ? new ParkedThread : nullptr;
    LightLock l{};
    for (auto _ : state) {
        light_lock(&l);
        benchmark::ClobberMemory();
        light_unlock(&l);
    }
    delete other;
}
BENCHMARK(BM_LightLockUncontended)->ArgName("threads_alive")->Arg(0)->Arg(1);

void BM_StdMutexUncontended(benchmark::State& state) {
    ParkedThread* other = state.range(0) ? new ParkedThread : nullptr;
    std::mutex m;
    for (auto _ : state) {
        m.lock();
        benchmark::ClobberMemory();
        m.unlock();
    }
    delete other;
}
BENCHMARK(BM_StdMutexUncontended)->ArgName("threads_alive")->Arg(0)->Arg(1);

void BM_SemPostWaitFastPath(benchmark::State& state) {
    Semaphore s{};
    for (auto _ : state) {
        sem_post(&s);
        benchmark::DoNotOptimize(sem_wait(&s, nullptr, -1));
    }
}
BENCHMARK(BM_SemPostWaitFastPath);

// Where the two threads of a ping-pong run: "cpus:0" where the scheduler
// puts them, "cpus:1" both on one processor (each hand-off a switch of
// threads), "cpus:2" on two (each hand-off a wake across processors). Left
// to itself the scheduler moves between the last two, which makes the
// first the noisiest.
void pin(int placement, int side) {
    if (placement == 0 || static_cast<int>(std::thread::hardware_concurrency()) < placement) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(placement == 1 ? 0 : side, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

struct Placement {
    cpu_set_t saved;
    explicit Placement(int placement) {
        pthread_getaffinity_np(pthread_self(), sizeof saved, &saved);
        pin(placement, 0);
    }
    ~Placement() { pthread_setaffinity_np(pthread_self(), sizeof saved, &saved); }
};

// One round trip per iteration: the partner thread answers each ping.
void BM_SemPingPong(benchmark::State& state) {
    Semaphore ping{}, pong{};
    bool stop = false;
    const int placement = static_cast<int>(state.range(0));
    Placement here(placement);
    std::thread partner([&] {
        pin(placement, 1);
        for (;;) {
            sem_wait(&ping, nullptr, -1);
            if (__atomic_load_n(&stop, __ATOMIC_ACQUIRE)) return;
            sem_post(&pong);
        }
    });
    for (auto _ : state) {
        sem_post(&ping);
        sem_wait(&pong, nullptr, -1);
    }
    __atomic_store_n(&stop, true, __ATOMIC_RELEASE);
    sem_post(&ping);
    partner.join();
}
BENCHMARK(BM_SemPingPong)->ArgName("cpus")->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

// The same with two counting semaphores built from std::condition_variable.
struct StdSemaphore {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    void post() {
        {
            std::lock_guard<std::mutex> g(m);
            ++count;
        }
        cv.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> g(m);
        cv.wait(g, [&] { return count > 0; });
        --count;
    }
};

void BM_CondVarPingPong(benchmark::State& state) {
    StdSemaphore ping, pong;
    bool stop = false;
    const int placement = static_cast<int>(state.range(0));
    Placement here(placement);
    std::thread partner([&] {
        pin(placement, 1);
        for (;;) {
            ping.wait();
            if (__atomic_load_n(&stop, __ATOMIC_ACQUIRE)) return;
            pong.post();
        }
    });
    for (auto _ : state) {
        ping.post();
        pong.wait();
    }
    __atomic_store_n(&stop, true, __ATOMIC_RELEASE);
    ping.post();
    partner.join();
}
BENCHMARK(BM_CondVarPingPong)->ArgName("cpus")->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

// --- threads ------------------------------------------------------------------------

constexpr int kBatch = 100;

struct Batch {
    int32_t left;
    Semaphore done;
};

void empty_job(void* p) {
    Batch* b = static_cast<Batch*>(p);
    if (__atomic_sub_fetch(&b->left, 1, __ATOMIC_ACQ_REL) == 0) sem_post(&b->done);
}

// Batches of empty jobs through the pool, warm after the first batch.
void BM_PoolRunEmptyJobs(benchmark::State& state) {
    Batch b{};
    for (auto _ : state) {
        b.left = kBatch;
        for (int i = 0; i < kBatch; ++i) pool_run(empty_job, &b);
        sem_wait(&b.done, nullptr, -1);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    // The cost of one job, from its hand-over to its end.
    state.counters["per_job"] =
        benchmark::Counter(double(state.iterations() * kBatch),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PoolRunEmptyJobs)->UseRealTime();

// The same jobs, each on a std::thread of its own, joined in turn.
void BM_StdThreadPerJob(benchmark::State& state) {
    Batch b{};
    for (auto _ : state) {
        b.left = kBatch;
        for (int i = 0; i < kBatch; ++i) std::thread(empty_job, &b).join();
        sem_wait(&b.done, nullptr, -1);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_StdThreadPerJob)->UseRealTime();

// thread_start until the entry has run; the join comes later, amortised
// in the reaping of later starts.
void BM_ThreadStartThenEntry(benchmark::State& state) {
    Batch b{};
    for (auto _ : state) {
        b.left = 1;
        thread_start(empty_job, &b, nullptr, nullptr, 0);
        sem_wait(&b.done, nullptr, -1);
    }
}
BENCHMARK(BM_ThreadStartThenEntry)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
