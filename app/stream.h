// One rewrite in progress, as the rewrite of a file and the recovery of a
// journal share it: where it stands, its journal, and the calls that move
// it on. Only rewrite.cpp and recover.cpp include this.
#pragma once

#include "app/eol.h"
#include "app/journal.h"
#include "app/rewrite.h"

struct Stream {
    FileHandle h;
    const RewriteJob* job;
    Journal journal;
    bool journaled;
    bool windows;
    bool keep_boms;      // marks stay in the new text
    bool keep_first_bom; // a mark at the file's first byte stays
    bool backward;
    uint64_t old_length;
    uint64_t new_length;
    uint64_t start;
    // Where the rewrite stands: see the journal's progress fields. `mark`
    // is `saved` as it is in memory, ahead of the journal between a save
    // and the progress that records it.
    uint64_t read;
    uint64_t write;
    uint64_t mark;
    uint64_t end;  // see the journal's field
    uint64_t tail; // likewise
    // The region sums the next progress record carries.
    uint64_t done_sum;
    uint64_t saved_sum;
    PassCounts* counts;
    PassCounts counts_at_read; // *counts as they were at `read`
};

// The calling thread's window memory, made on first use: false when there
// is no memory for it.
bool stream_have_window();
// The window's input buffer and its size (after stream_have_window).
unsigned char* stream_window(uint64_t* size);

// Goes on from where the stream stands to the end of the rewrite. *early
// is set when a forward rewrite ends before anything was written.
ErrorCode stream_run(Stream* s, RewriteOutcome* early);
// Takes the state the journal records, for a second try or another run.
void stream_rewind(Stream* s);
// A journal whose file may have been left with its last byte cut off.
ErrorCode stream_undo_probe(Stream* s);
// Whether a forward rewrite's file was cut already to the length its last
// write ends at: only the journal is left to go.
bool stream_cut_done(const JournalHead& head, uint64_t length);
// The rewrite is over: the old write time back when asked, the journal gone.
void stream_finish(Stream* s);
