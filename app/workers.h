// The walk's files converted on worker threads while the walk goes on, their
// results taken in walk order: every line printed, every count and every
// file ends as a run that converts one file after another leaves them.
#pragma once

#include "app/convert.h"
#include "base/runtime/signal.h"

#include <cstdint>

// The workers a run uses by default: one per processor, at most 16.
uint32_t default_worker_count();
constexpr uint32_t MAX_WORKERS = 64;

// One crew per run. With one worker every file is converted on the calling
// thread as it comes; with more, threads start once a second file comes.
// `cancel` is the run's interrupt: once it is set no file starts, and the
// files in hand are finished.
void crew_begin(RunTotals* totals, uint32_t workers, Signal* cancel);
// Queues a file (the path and entry are copied); may first take the results
// of earlier files, and waits while the queue is full.
void crew_convert(const char* path, const FileEntry* entry);
// Takes every queued file's result: what is printed next follows them.
void crew_drain();
// Drains, then lets the workers go.
void crew_end();

#ifdef EOLSET_TEST_HOOKS
// Every hand-over and wait of the last crew, for the test of its cost.
struct CrewStats {
    uint64_t jobs;
    uint64_t worker_sleeps; // a worker found no file and waited
    uint64_t main_waits;    // the walk waited for a result
    uint32_t threads;
};
CrewStats crew_stats();
#endif
