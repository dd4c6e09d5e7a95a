// The timer tree against std::multimap: a million timers scheduled and then
// cancelled in random order. The tree keeps its nodes inside the timers and
// allocates nothing; the multimap allocates a node per timer.
#include "base/runtime/tick.h"
#include "base/runtime/timertree.h"
#include "base/runtime/voalarm.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr size_t kTimers = 1000000;

struct Fixture {
    std::vector<uint64_t> due;
    std::vector<uint32_t> cancel_order;
    Fixture() : due(kTimers), cancel_order(kTimers) {
        std::mt19937_64 rng(42);
        for (size_t i = 0; i < kTimers; ++i) {
            due[i] = rng() % (kTimers / 4); // ties are common, as with real ticks
            cancel_order[i] = static_cast<uint32_t>(i);
        }
        std::shuffle(cancel_order.begin(), cancel_order.end(), rng);
    }
};

const Fixture& fixture() {
    static Fixture f;
    return f;
}

void BM_TimerTree(benchmark::State& state) {
    const Fixture& f = fixture();
    std::vector<Timer> timers(kTimers);
    for (auto _ : state) {
        TimerNode* root = nullptr;
        for (size_t i = 0; i < kTimers; ++i) {
            timers[i].due = f.due[i];
            timer_tree_insert_after(&root, timer_tree_find_pred(root, f.due[i]), &timers[i].node);
        }
        for (uint32_t i : f.cancel_order) timer_tree_remove(&root, &timers[i].node);
        benchmark::DoNotOptimize(root);
    }
    state.SetItemsProcessed(state.iterations() * kTimers);
}
BENCHMARK(BM_TimerTree)->Unit(benchmark::kMillisecond);

void BM_StdMultimap(benchmark::State& state) {
    const Fixture& f = fixture();
    using Map = std::multimap<uint64_t, Timer*>;
    std::vector<Timer> timers(kTimers);
    std::vector<Map::iterator> where(kTimers);
    for (auto _ : state) {
        Map m;
        for (size_t i = 0; i < kTimers; ++i)
            where[i] = m.emplace(f.due[i], &timers[i]); // goes after equal keys
        for (uint32_t i : f.cancel_order) m.erase(where[i]);
        benchmark::DoNotOptimize(m);
    }
    state.SetItemsProcessed(state.iterations() * kTimers);
}
BENCHMARK(BM_StdMultimap)->Unit(benchmark::kMillisecond);

// Lateness of a timer due in 1 ms: from its scheduling to its callback,
// less the 1 ms asked for. Reported as median and 99th percentile (us).
struct LatencyProbe {
    Timer timer{};
    std::atomic<int64_t> fired_ns{0};
};

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void latency_fire(Timer* t) {
    reinterpret_cast<LatencyProbe*>(t)->fired_ns.store(now_ns(), std::memory_order_release);
}

void BM_AlarmLatency1ms(benchmark::State& state) {
    std::vector<double> late_us;
    for (auto _ : state) {
        LatencyProbe p;
        int64_t start = now_ns();
        alarm_schedule(&p.timer, latency_fire, tick_now() + 1);
        while (!p.fired_ns.load(std::memory_order_acquire)) std::this_thread::yield();
        late_us.push_back((p.fired_ns.load() - start) / 1000.0 - 1000.0);
    }
    std::sort(late_us.begin(), late_us.end());
    state.counters["median_late_us"] = late_us[late_us.size() / 2];
    state.counters["p99_late_us"] = late_us[late_us.size() * 99 / 100];
}
BENCHMARK(BM_AlarmLatency1ms)->Iterations(1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
