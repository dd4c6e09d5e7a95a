// The command line, read once: the run's options, set by the parser and
// read-only from then on, shared by every thread that converts files.
#pragma once

#include "base/alloc.h"

#include <cstdint>

// -j<N> takes N from 1 to this.
constexpr uint32_t MAX_WORKERS = 64;

struct Options {
    bool to_unix;           // -u
    bool to_windows;        // -w (-u wins when both are given)
    bool preserve_time;     // -p
    bool test_only;         // -t
    bool force;             // -f: binary files and version-control folders too
    bool check;             // -c: a test run that names only what would change, and fails if any
    bool nul_names;         // -0: each name ends in a NUL; the summary goes to standard error
    bool quiet;             // -q: neither names nor summary
    bool keep_boms;         // -b: byte-order marks stay where they are
    bool follow_repository; // -e: what the repository's ignore and attributes files declare
    uint32_t workers;       // -j<N>; 0: one per processor
    const char* folder;     // the folder (or single file) argument, as typed
    // The filters in order, null-terminated: a path's wildcard part first.
    const char* const* filters;
    bool folder_split; // the folder argument held wildcards
    // The path arguments after the first, as typed, null-terminated: the
    // filters without the wildcard part, or the further operands after a
    // single file.
    const char* const* rest;
    // The index in `rest` of a lone "-" that ended the switches after the
    // first path argument; all-ones when none did.
    uint32_t rest_plain_from;
    const char* bad_argument; // PARSE_UNKNOWN_SWITCH, PARSE_BAD_WORKERS: as typed
};

// The form a file's text is to take: CR LF unless -u, or the majority's
// form when neither -u nor -w was given (`majority_windows`).
inline bool options_windows(const Options* o, bool majority_windows) {
    if (o->to_unix) return false;
    return o->to_windows || majority_windows;
}

enum ParseOutcome {
    PARSE_RUN,            // *options describe a run
    PARSE_HELP,           // -h, -?, --help
    PARSE_VERSION,        // --version
    PARSE_NO_FOLDER,      // no folder argument, or an empty one
    PARSE_NO_MEMORY,      // the filters did not fit in memory
    PARSE_UNKNOWN_SWITCH, // a switch-shaped argument before the folder names no switch
    PARSE_BAD_WORKERS,    // -j without a number from 1 to MAX_WORKERS
};

// Reads the switches, the folder and the filters. The strings stay in argv;
// what the parser makes lives in `arena`. Before the first path argument an
// argument that begins with '-' is a switch, the lone "-" (itself the first
// path argument), or "--", which only ends the switches; anything else that
// begins with '-' there is an error. After it such an argument is a filter.
ParseOutcome parse_command_line(int32_t argc, char** argv, ArenaAllocator* arena, Options* options);

// Splits "dir/sub/*.cpp" into the folder "dir/sub/" and the filter "+*.cpp"
// (both in `arena`; *filter null when memory ran out). False when `path`
// holds no wildcard after its root.
bool split_wildcards(ArenaAllocator* arena, const char* path, const char** folder,
                     const char** filter);
