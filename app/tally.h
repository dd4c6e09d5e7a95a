// The driver's half of every file: its result becomes counts, a line on
// standard output for a file that was (or would be) changed, and the ERROR:
// lines of what failed, in walk order. Nothing else counts or prints a file.
#pragma once

#include "app/convert.h"
#include "app/report.h"

#include <cstdint>

// The run's counters, owned by the driver. Counts are 64-bit numbers.
struct RunCounts {
    uint64_t boms_fixed;
    uint64_t line_feeds_fixed;
    uint64_t files_fixed;
    uint64_t files_processed;
    uint64_t open_failures;   // could not be opened, or a read failed part way
    uint64_t memory_failures; // the read buffer or the window did not fit in memory
    uint64_t write_failures;  // not rewritten: read-only, changed meanwhile, or a step failed
    uint64_t binary_left;     // binary data, left alone
    uint64_t folders_unread;  // subfolders that could not be listed
    uint64_t links_outside;   // links whose target lies outside the folder
    bool failed;              // no folder, a folder that would not open, memory ran out
};

// How the name of a file that was (or would be) changed is printed.
enum NameStyle : uint8_t {
    NAMES_LINES, // one per line
    NAMES_NUL,   // each ended by a NUL byte (-0)
    NAMES_NONE,  // not at all (-q)
};

// Where results go: the counters, and the batch their lines wait in until
// tally_flush.
struct Tally {
    RunCounts* counts;
    OutputBatch batch;
    NameStyle names;
};

// Takes one file's result (and releases it): counts it and prints what it
// says. A test run's verdict on a second name of a file already found to
// need fixing is that nothing is left to fix, as the real run finds it.
void tally_take(Tally* tally, const char* path, const FileEntry* entry, FileResult* result);
// Writes the lines taken so far.
void tally_flush(Tally* tally);
// Converts a file on the calling thread and takes its result at once.
void tally_convert(Tally* tally, const Options* options, const char* path, const FileEntry* entry,
                   FileWant want = WANT_RUN);
void tally_release(Tally* tally);

// How the run's names and summary are printed, as the switches say.
NameStyle options_name_style(const Options* options);
// The summary lines, each only when its number is not 0: on standard output,
// or on standard error when the names end in NUL bytes; none for -c or -q.
void print_summary(const RunCounts* counts, const Options* options);
// 0 when everything selected is in the wanted form, 1 when anything failed
// or, for -c, when any file would change.
int run_status(const RunCounts* counts, const Options* options);
