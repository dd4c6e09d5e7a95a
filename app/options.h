// The command line, read once: the run's options, set by the parser and
// read-only from then on, shared by every thread that converts files.
#pragma once

#include "base/alloc.h"

#include <cstdint>

// -j<N> takes N from 1 to this.
constexpr uint32_t MAX_WORKERS = 64;

struct Options {
    bool to_unix;       // -u
    bool to_windows;    // -w (-u wins when both are given)
    bool preserve_time; // -p
    bool test_only;     // -t
    bool force;         // -f: binary files and version-control folders too
    uint32_t workers;   // -j<N>; 0: one per processor
    const char* folder; // the folder (or single file) argument, as typed
    // The filters in order, null-terminated: a path's wildcard part first.
    const char* const* filters;
    bool folder_split; // the folder argument held wildcards
};

// The form a file's text is to take: CR LF unless -u, or the majority's
// form when neither -u nor -w was given (`majority_windows`).
inline bool options_windows(const Options* o, bool majority_windows) {
    if (o->to_unix) return false;
    return o->to_windows || majority_windows;
}

enum ParseOutcome {
    PARSE_RUN,       // *options describe a run
    PARSE_HELP,      // -h, -?, --help
    PARSE_VERSION,   // --version
    PARSE_NO_FOLDER, // no folder argument, or an empty one
    PARSE_NO_MEMORY, // the filters did not fit in memory
};

// Reads the switches, the folder and the filters. The strings stay in argv;
// what the parser makes lives in `arena`.
ParseOutcome parse_command_line(int32_t argc, char** argv, ArenaAllocator* arena, Options* options);
