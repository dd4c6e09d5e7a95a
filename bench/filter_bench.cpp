// Wildcard matching cost: the star-heavy filter that once took exponential
// time, and **-heavy filter lists over the paths of a 20,000-file tree.
#include "base/alloc.h"
#include "base/filter.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

void BM_TenStarsAgainstFortyCharacters(benchmark::State& state) {
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*ab\\**";
    const std::string name = std::string(40, 'a') + "\\";
    for (auto _ : state) benchmark::DoNotOptimize(wild_match(pattern.c_str(), name.c_str()));
}
BENCHMARK(BM_TenStarsAgainstFortyCharacters);

void BM_TenStarsOverlap(benchmark::State& state) {
    const std::string pattern = "*a*a*a*a*a*a*a*a*a*ab\\**";
    const std::string folder = std::string(40, 'a') + "\\**";
    for (auto _ : state) benchmark::DoNotOptimize(wild_overlap(pattern.c_str(), folder.c_str()));
}
BENCHMARK(BM_TenStarsOverlap);

// Probes of a source tree: 20 top folders, 10 below each, 100 files in each.
std::vector<std::string> tree_probes() {
    std::vector<std::string> probes;
    const char* ext[] = {".cpp", ".h", ".txt", ".sh", ".py"};
    for (int a = 0; a < 20; ++a)
        for (int b = 0; b < 10; ++b)
            for (int f = 0; f < 100; ++f)
                probes.push_back("module" + std::to_string(a) + "\\sub" + std::to_string(b) +
                                 "\\deeper\\file_" + std::to_string(f) + ext[f % 5] + "\\");
    return probes;
}

void BM_DoubleStarFiltersOverTree(benchmark::State& state) {
    const char* raw[] = {"-**.sh",          "+**.cpp",        "+**/sub*/**/*.h",
                         "-**/module1*/**", "+**/test_*.cpp", "-**/deeper/**/file_9*.cpp"};
    ArenaAllocator arena, scratch;
    arena_init(&arena);
    arena_init(&scratch);
    std::vector<const char*> filters;
    for (const char* r : raw)
        filters.push_back(filter_prepare(arena_base(&scratch), arena_base(&arena), r));
    const std::vector<std::string> probes = tree_probes();
    uint64_t selected = 0;
    for (auto _ : state) {
        selected = 0;
        for (const std::string& p : probes)
            selected += filter_includes(filters.data(), filters.size(), p.c_str());
        benchmark::DoNotOptimize(selected);
    }
    state.counters["files"] = static_cast<double>(probes.size());
    state.counters["per_match"] = benchmark::Counter(
        static_cast<double>(probes.size()) * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    arena_release(&scratch);
    arena_release(&arena);
}
BENCHMARK(BM_DoubleStarFiltersOverTree)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
