// What the repository a walk lies in declares (-e): the git work tree above
// the walk's folder, what its ignore files leave out, and the line ends its
// attributes ask for each file. Read from the files themselves, as git
// reads them; no git program is run.
//
// Paths given here are full paths in the form the walker hands out. The
// rules files of a folder are read when the first entry inside it is asked
// about, and forgotten once the walk has left it: a depth-first walk reads
// each once.
#pragma once

#include "app/convert.h"
#include "app/gitrules.h"

#include <cstdint>

struct SettingsFrame;
struct SettingsRepo;
struct SettingsAbove;

struct Settings {
    bool active;        // a work tree was found
    bool root_excluded; // the walk's folder, or a folder above it, is ignored
    char* top;          // the work tree's top folder, full (heap)
    uint64_t top_length;
    SettingsRepo* repos; // repos[0] is the work tree's; then those nested in it, outermost first
    uint32_t repo_count, repo_capacity;
    // .editorconfig files above the top folder, nearest first: read when a
    // file first needs them; one that could not be read fails those files.
    SettingsAbove* above;
    uint32_t above_count, above_capacity;
    bool above_read, above_failed;
    ArenaAllocator arena;  // what `above` holds
    SettingsFrame* frames; // frames[0] is the top folder; the last is the deepest
    uint32_t depth, capacity;
    AttrQuery query;
    char* relative; // scratch: a path relative to the top, with '/'
    uint64_t relative_capacity;
    // The first rules file that could not be read since the last take (heap).
    char* problem_path;
    ErrorCode problem;
    // Lines for standard error that are no failure (heap), until taken.
    char* warning;
    bool out_of_memory;
    uint32_t failures; // rules or config files that could not be read, memory that ran out
    // Asks the walk's listing whether a folder holds a name (1, 0; -1: ask
    // the system), so that a folder's missing rules files cost no call.
    int (*holds)(void* context, const char* folder, uint64_t length, const char* name);
    void* holds_context;
};

// Finds the work tree that `folder` (a full path) lies in and reads what
// applies above it. Without a work tree the walk's folder is the top and
// only .editorconfig files apply. False when memory ran out.
bool settings_open(Settings* s, const char* folder);
void settings_release(Settings* s);

// Whether git leaves the entry out: ignored, the repository's own .git, or
// a link (git keeps a link as a link, never as the text it leads to).
bool settings_excluded(Settings* s, const char* path, const FileEntry* entry);
// The line ends the attributes ask for a file.
FileWant settings_want(Settings* s, const char* path);

// A rules file that could not be read (not one that is missing): named
// once, with its error; false when none is waiting.
bool settings_take_problem(Settings* s, char** path, ErrorCode* error);
// Lines for standard error that are no failure (an .editorconfig line that
// is not understood, a file two settings disagree on): the caller frees
// them; null when none is waiting.
char* settings_take_warning(Settings* s);
