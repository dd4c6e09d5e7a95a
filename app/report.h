// How paths and errors are shown, shared by the driver and the engine.
// Every ERROR: line goes to standard error, where it stays out of the names a
// script reads from standard output.
#pragma once

#include "base/types.h"

// A short reason for a system error code ("file not found", ...).
const char* error_reason(ErrorCode code);
// Names a file that could not be read, with the reason.
void report_unreadable_file(const char* path, ErrorCode code);
// An ERROR: line on standard error: `before` (up to the opening quote), the
// path as shown, and the reason and code (none when 0).
void report_path_error(const char* before, const char* path, ErrorCode code);
// The same for text the user typed (the folder argument), shown as typed.
void report_typed_error(const char* before, const char* typed, ErrorCode code);

// Paths are worked with in Windows form. The Windows program prints them so;
// the Linux program prints them as Linux has them: the folder argument as it
// was typed, then '/' and each name's own bytes (a path elsewhere from the
// root, "/"), so that the names can go on to other tools.
//
// The walk's root: `typed` as the user gave it, `full` its full Windows form,
// the head of every path the walk hands out. Both must outlive the run; null
// forgets them.
void shown_set_root(const char* typed, const char* full);

// The form of `path` to print: `path` itself, or a string that
// shown_release frees.
struct ShownPath {
    char* owned;
};
const char* shown_path(const char* path, ShownPath* shown);
// Text the user typed (the folder argument), shown with its own bytes.
const char* shown_typed(const char* text, ShownPath* shown);
void shown_release(ShownPath* shown);

// Writes the pieces one after another, in one write, to standard error when
// `error`, else standard output. They go out byte for byte: the formatter
// would replace a path's bytes that are not UTF-8.
void print_pieces(bool error, const char* const* pieces, uint64_t count);
// The same with each piece's length given (null: each is a C string), so
// that a piece may hold NUL bytes.
void print_bytes(bool error, const char* const* pieces, const uint64_t* lengths, uint64_t count);

// Lines held back to go out together: each run of lines for one stream in
// one write, so that a run over many files makes few system calls.
struct OutputBatch {
    unsigned char* data; // mem_malloc
    uint64_t length;
    uint64_t capacity;
    bool error; // the stream of what is held
};
// From now on this thread's print_pieces add to `batch` (null: each goes
// out at once).
void output_batch(OutputBatch* batch);
// Writes what the batch holds.
void output_batch_flush(OutputBatch* batch);
void output_batch_release(OutputBatch* batch);
