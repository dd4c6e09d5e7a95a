// Per-file conversion of line ends and UTF-8 byte-order marks, in place.
#pragma once

#include "base/types.h"

#include <cstddef>
#include <cstdint>

// The run's options and counters. One per run, all zero at start; only
// convert_file moves the counters.
// The counters are 64-bit: a run (or one file) may hold more than 2^32 line ends.
struct RunTotals {
    uint8_t to_unix;       // -u
    uint8_t to_windows;    // -w
    uint8_t preserve_time; // -p
    uint8_t test_only;     // -t
    uint8_t force;         // -f: binary files are converted too
    uint64_t boms_fixed;
    uint64_t line_feeds_fixed;
    uint64_t files_fixed;
    uint64_t files_processed;
    uint64_t open_failures;   // could not be opened, or a read failed part way
    uint64_t memory_failures; // the converted text (or the read buffer) did not fit in memory
    uint64_t write_failures;  // not rewritten: read-only, changed meanwhile, or a step failed
    uint64_t binary_left;     // not converted: the first block shows binary data
};
static_assert(sizeof(RunTotals) == 72);
static_assert(offsetof(RunTotals, boms_fixed) == 8);
static_assert(offsetof(RunTotals, write_failures) == 56);

// What one pass over a file found.
struct PassCounts {
    uint64_t lf;
    uint64_t crlf;
    uint64_t crcrlf;
    uint64_t lone_cr;
    uint64_t bom;
};

// Binary data: a NUL byte in the first 8,000, or a UTF-16 or UTF-32
// byte-order mark at the start (UTF-32's little-endian mark begins as
// UTF-16's; its big-endian one with a NUL).
bool looks_binary(const unsigned char* p, uint64_t n);
constexpr uint64_t kBinaryProbe = 8000;

// Whether the open handle is the file the walk listed: a name can be taken
// over between the listing and the open (or, on a system that looks names
// up with letter case ignored, lead to another entry). True when the entry
// carries no identity to compare.
bool file_is_entry(FileHandle h, const FileEntry* entry);

// Converts one file (never a folder) and prints its path when it was, or in
// test mode would be, changed. Returns 0: closing the file has no result.
ErrorCode convert_file(RunTotals* totals, const char* path, const FileEntry* entry);

// A test run's finding that a file would be fixed, left for the caller to
// take in walk order: only the first visit of a file with several names
// counts (see seen.h).
struct PendingFix {
    bool pending;
    uint64_t boms;
    uint64_t line_feeds;
};
// convert_file, except that in test mode a file that would be fixed is
// neither counted as fixed nor printed: *fix tells the caller to do so.
ErrorCode convert_file_deferred(RunTotals* totals, const char* path, const FileEntry* entry,
                                PendingFix* fix);
// Counts a pending fix (when the file was not seen fixed before) and prints
// its path: what convert_file does in test mode.
void take_pending_fix(RunTotals* totals, const char* path, const FileEntry* entry,
                      const PendingFix& fix);
