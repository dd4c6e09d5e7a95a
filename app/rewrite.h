// Writing a file's new text over it in place, a window at a time, so that
// memory stays small whatever the file's size. A rewrite that shrinks the
// text goes forward, writing behind what it reads; one that grows it extends
// the file first and goes backward from the end. Before a step overwrites a
// byte that a later step still needs, the byte goes to the rewrite's journal,
// so that a rewrite cut short at any instant is finished by the next run.
#pragma once

#include "app/eol.h"
#include "app/journal.h"
#include "base/types.h"

enum RewriteOutcome {
    REWRITE_DONE,      // the file holds the new text
    REWRITE_UNCHANGED, // nothing in the file needed changing
    REWRITE_BINARY,    // the file holds binary data: nothing written
    REWRITE_UNREAD,    // a read failed before anything was written
    REWRITE_UNTOUCHED, // a check or step failed before anything was written
    REWRITE_PENDING,   // cut short and kept in its journal for the next run
};

struct RewriteJob {
    FileHandle handle; // open for reading, writing and setting information
    const char* path;  // full path, for the journal and the messages
    const FileEntry* entry;
    bool windows;        // the new text ends lines in CR LF
    bool keep_boms;      // byte-order marks stay where they are
    bool keep_first_bom; // a mark at the file's first byte stays (others go)
    bool backward;       // the text grows: new_length and start are known
    bool judge_binary;   // forward: judged while read, left alone when binary
    bool keep_time;      // give the file its old write time back
    bool judged_at_open; // nothing was read since the length and time were asked
    uint64_t old_length;
    uint64_t allocated;  // bytes the file has on disk (~0: not known)
    uint64_t new_length; // backward only
    uint64_t start;      // backward only: the first byte that changes
    int64_t write_time;
};

// Rewrites the file. *counts receives what a forward rewrite found (a
// backward one leaves it alone), *error the failing call's code, and
// *journal, for REWRITE_PENDING, the journal's name (mem_malloc; null when
// there was no memory for it).
RewriteOutcome rewrite_file(const RewriteJob* job, PassCounts* counts, ErrorCode* error,
                            char** journal);

// Returns the calling thread's window memory, kept from one file to the
// next, and forgets the journals' folder.
void rewrite_release_window();
// Returns the calling thread's window memory only (a worker that is done).
void rewrite_release_thread();
