// Per-file conversion of line ends and UTF-8 byte-order marks, in place.
#pragma once

#include "base/types.h"

#include <cstddef>
#include <cstdint>

// The run's options and counters. One per run, all zero at start; only
// convert_file moves the counters.
struct RunTotals {
    uint8_t to_unix;       // -u
    uint8_t to_windows;    // -w
    uint8_t preserve_time; // -p
    uint8_t test_only;     // -t
    uint32_t boms_fixed;
    uint32_t line_feeds_fixed;
    uint32_t files_fixed;
    uint32_t files_processed;
    uint32_t open_failures;   // could not be opened, or a read failed part way
    uint32_t memory_failures; // the converted text (or the read buffer) did not fit in memory
    uint32_t write_failures;  // could not be made to hold the new text, or written short
};
static_assert(sizeof(RunTotals) == 32);
static_assert(offsetof(RunTotals, boms_fixed) == 4);
static_assert(offsetof(RunTotals, write_failures) == 28);

// Converts one file (never a folder) and prints its path when it was, or in
// test mode would be, changed. Returns 0: closing the file has no result.
ErrorCode convert_file(RunTotals* totals, const char* path, const FileEntry* entry);
