// The walk's files converted on worker threads while the walk goes on, their
// results taken in walk order: every line printed, every count and every
// file ends as a run that converts one file after another leaves them.
#pragma once

#include "app/options.h"
#include "app/tally.h"
#include "base/runtime/signal.h"

#include <cstdint>

// The workers a run uses by default: one per processor, at most 16.
uint32_t default_worker_count();

// One crew per run. With one worker every file is converted on the calling
// thread as it comes; with more, threads start once a second file comes.
// Every worker reads the same `options`; each file's result goes to `tally`
// on the calling thread, in the order the files were queued. `cancel` is
// the run's interrupt: once it is set no file starts, and the files in hand
// are finished.
void crew_begin(const Options* options, Tally* tally, uint32_t workers, Signal* cancel);
// Queues a file (the path and entry are copied); may first take the results
// of earlier files, and waits while the queue is full.
// `want`: the line ends the repository asks for the file (-e).
void crew_convert(const char* path, const FileEntry* entry, FileWant want = WANT_RUN);
// Takes every queued file's result: what is printed next follows them.
void crew_drain();
// Drains, then lets the workers go.
void crew_end();
