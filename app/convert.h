// Per-file conversion of line ends and UTF-8 byte-order marks, in place.
// Converting a file gives back what happened to it; it prints nothing and
// moves no counter: the driver takes the results in walk order (tally.h).
#pragma once

#include "app/eol.h"
#include "base/types.h"

#include <cstddef>
#include <cstdint>

struct Options;

enum FileOutcome : uint8_t {
    FILE_NOT_INPUT,    // the program's own journal, never input: not even counted
    FILE_NO_TARGET,    // a link to nothing: no file to convert, not counted either
    FILE_FOLDER,       // counted as processed, nothing more
    FILE_UNOPENED,     // could not be opened (open_error)
    FILE_UNCHANGED,    // in the wanted form already (or a test run's second name of it)
    FILE_FIXED,        // rewritten
    FILE_WOULD_FIX,    // a test run: would be rewritten
    FILE_BINARY,       // binary data, left alone
    FILE_UNREAD,       // a read failed, or memory ran out (error); left untouched
    FILE_NOT_MODIFIED, // needed changing, left as it was (error; 0 when no call refused)
    FILE_PENDING,      // cut short, left to its journal for the next run (error, journal)
};

// The line ends a file is to take, as its repository declares them (-e):
// the run's own choice (-u, -w or the majority), LF, CR LF, or none at all
// (left alone and counted with the binary files, whatever -f says).
// WANT_KEEP_FIRST_BOM may be added to a form: a byte-order mark at the
// file's first byte stays (charset = utf-8-bom); marks elsewhere still go.
enum FileWant : uint8_t {
    WANT_RUN,
    WANT_LF,
    WANT_CRLF,
    WANT_ALONE,
    WANT_FORM = 0x0F,
    WANT_KEEP_FIRST_BOM = 0x10,
};
inline FileWant want_form(FileWant w) {
    return static_cast<FileWant>(w & WANT_FORM);
}

struct FileResult {
    FileOutcome outcome;
    // The open's failure. The outcome is FILE_UNOPENED, except where the
    // open failed and still handed back a handle that serves.
    ErrorCode open_error;
    ErrorCode error;
    uint64_t boms;       // FIXED, WOULD_FIX: marks removed
    uint64_t line_feeds; // FIXED, WOULD_FIX: line ends changed
    char* journal;       // PENDING: the journal's name (mem_malloc; null without memory)
};

// Converts one file (never a folder) as `options` say; in test mode only
// judges it. The caller takes the result with file_result_release.
FileResult convert_one(const Options* options, const char* path, const FileEntry* entry,
                       FileWant want = WANT_RUN);
void file_result_release(FileResult* result);

// The run's options and counters as one record, for convert_file. All
// zero at start; only convert_file moves the counters.
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
    uint64_t binary_left;     // not converted: the file holds binary data
};
static_assert(sizeof(RunTotals) == 72);
static_assert(offsetof(RunTotals, boms_fixed) == 8);
static_assert(offsetof(RunTotals, write_failures) == 56);

// Converts one file and at once counts and prints its result as a run
// does: convert_one, then the driver's half (tally.h). Returns 0: closing
// the file has no result.
ErrorCode convert_file(RunTotals* totals, const char* path, const FileEntry* entry);
