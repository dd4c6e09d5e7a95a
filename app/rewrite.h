// Writing a converted text over its file in place so that the file ends
// either fully converted or exactly as it was: checks that can fail before a
// byte is overwritten come first, and any later failure writes the original
// back (from the converted text and its record of what changed), or when even
// that fails, saves the original bytes to a new file.
#pragma once

#include "app/undo.h"
#include "base/types.h"

enum RewriteOutcome {
    REWRITE_DONE,      // the file holds the new text
    REWRITE_UNTOUCHED, // a check failed before anything was written
    REWRITE_RESTORED,  // a step failed; the original is back in place
    REWRITE_RESCUED,   // the original could not be put back; it is in a new file
    REWRITE_LOST,      // neither: the file is damaged and its original is gone
};

struct RewriteJob {
    FileHandle handle; // open for reading and writing, position anywhere
    const char* path;  // for the rescue copy and the message
    const ConvertedText* text;
    uint64_t length;    // the file's length when it was read
    int64_t write_time; // the file's write time when it was read
};

// Rewrites the file. With REWRITE_RESCUED and REWRITE_LOST an "ERROR:" line
// has been printed. A restored file gets its old write time back too.
RewriteOutcome rewrite_in_place(const RewriteJob* job);
