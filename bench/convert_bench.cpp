// convert_file on a 64 MiB text file: CR LF to LF, LF to CR LF, and the
// counting pass over a file that needs nothing; and the journal's region sum
// over the same text in memory, which the rewrite takes of every byte it
// writes and saves (its cost per MiB). Run from a release build:
//   cmake --preset release && cmake --build --preset release -j2 &&
//   ./build/release/bench/eolset_bench
// The scratch files go to $TMPDIR (default /tmp).
//
// By default the heap behaves as in the program: glibc hands the blocks of a
// 64 MiB text back to the system when the file is done, so every iteration
// faults its memory in afresh. With --warm_heap freed memory stays in the
// process (M_TRIM_THRESHOLD, set before anything is allocated), which shows
// the engine's own cost apart from the page faults; where a page fault is
// expensive (virtual machines) the two differ a lot.
#include "app/convert.h"
#include "app/journal.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

namespace {

constexpr size_t kSize = 64u << 20;

// Source-like lines of 0 to 14 short words, CR LF ended, exactly kSize bytes.
const std::string& crlf_text() {
    static const std::string text = [] {
        static const char* const words[] = {
            "int",  "return", "value", "x",    "(", ")", "{",     "}",  ";",   "//",
            "0x1F", "const",  "char*", "name", "=", "+", "while", "if", "else"};
        std::mt19937 rng(20261208);
        std::string s;
        s.reserve(kSize + 200);
        while (s.size() < kSize) {
            int n = static_cast<int>(rng() % 15);
            for (int i = 0; i < n; ++i) {
                if (i) s += ' ';
                s += words[rng() % (sizeof(words) / sizeof(words[0]))];
            }
            s += "\r\n";
        }
        s.resize(kSize - 2);
        s += "\r\n";
        return s;
    }();
    return text;
}

const std::string& lf_text() {
    static const std::string text = [] {
        const std::string& in = crlf_text();
        std::string s;
        s.reserve(in.size());
        for (char c : in)
            if (c != '\r') s += c;
        return s;
    }();
    return text;
}

std::string scratch_path(const char* name) {
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/eolset-bench-" + std::to_string(getpid()) +
           "-" + name;
}

void put(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string program_path(const std::string& posix) {
    std::string s = "Z:" + posix;
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

// The per-file line goes to /dev/null while the benchmark runs.
struct QuietStdout {
    int saved;
    QuietStdout() {
        std::cout.flush();
        fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        dup2(saved, 1);
        close(saved);
    }
};

void run(benchmark::State& state, const std::string& input, const char* flags, bool restore) {
    std::string path = scratch_path(flags[0] ? flags : "count");
    std::string name = program_path(path);
    put(path, input);
    uint32_t fixed = 0;
    {
        QuietStdout quiet;
        for (auto _ : state) {
            RunTotals t{};
            t.to_unix = flags[0] == 'u';
            t.to_windows = flags[0] == 'w';
            FileEntry entry{};
            convert_file(&t, name.c_str(), &entry);
            fixed += t.files_fixed;
            if (t.open_failures + t.memory_failures + t.write_failures) {
                state.SkipWithError("conversion failed");
                break;
            }
            if (restore) {
                state.PauseTiming();
                put(path, input);
                state.ResumeTiming();
            }
        }
    }
    if (restore && fixed != state.iterations()) state.SkipWithError("file was not converted");
    if (!restore && fixed != 0) state.SkipWithError("file was changed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
    unlink(path.c_str());
}

void BM_CountingPass(benchmark::State& state) {
    run(state, lf_text(), "", false);
}
void BM_CrlfToLf(benchmark::State& state) {
    run(state, crlf_text(), "u", true);
}
void BM_LfToCrlf(benchmark::State& state) {
    run(state, lf_text(), "w", true);
}

// The journal's sum over 1 MiB windows, as the rewrite takes it.
void BM_RegionSum(benchmark::State& state) {
    const std::string& text = crlf_text();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    uint64_t sum = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < text.size(); at += 1u << 20) {
            size_t n = text.size() - at < (1u << 20) ? text.size() - at : (1u << 20);
            sum += journal_region_sum(at, p + at, n);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_RegionSum)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CountingPass)->MinWarmUpTime(0.5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CrlfToLf)->MinWarmUpTime(0.5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LfToCrlf)->MinWarmUpTime(0.5)->Unit(benchmark::kMillisecond)->UseRealTime();

bool g_warm_heap = false;

} // namespace

int main(int argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--warm_heap")
            g_warm_heap = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    if (g_warm_heap) mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    benchmark::AddCustomContext("heap",
                                g_warm_heap ? "warm (freed memory kept)" : "as in the program");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
