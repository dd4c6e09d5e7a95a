// The journal of one rewrite: where the file stood when it began, how far
// the rewrite has come, and the file's bytes it overwrote while a later
// step still needs them. A rewrite cut short (a kill, a lost power supply
// aside) is finished from it by the next run. Journals live in a per-user
// state folder that no one else can read, under names no walk selects.
#pragma once

#include "base/types.h"

#include <cstdint>

constexpr uint32_t JOURNAL_WINDOWS = 0x1;   // the new text ends lines in CR LF
constexpr uint32_t JOURNAL_BACKWARD = 0x2;  // converted from the end (the file grows)
constexpr uint32_t JOURNAL_KEEP_TIME = 0x4; // the file gets its old write time back

// How the name of a journal ends.
constexpr char JOURNAL_SUFFIX[] = ".eolset-journal";

struct JournalHead {
    char magic[8];
    uint32_t flags;
    uint32_t path_bytes; // the file's full path follows the head
    uint64_t old_length;
    uint64_t new_length; // backward only
    uint64_t start;      // the first byte the rewrite may change
    int64_t write_time;
    uint64_t file_id[2];
    uint64_t data_at; // saved byte at file offset p: journal offset data_at + p - start
    // The bytes from `start` saved in the same write as the head and path,
    // and a hash of the path and them: a journal whose first write was cut
    // short fails the hash, and its file was not touched yet.
    uint64_t initial;
    uint64_t data_check;
    // Progress, written anew before every step that overwrites the file.
    // Forward: the original below `read` is converted into the file below
    // `write`; bytes from `read` up to `saved` are in the journal, the rest
    // still in the file. Backward: the original from `read` on is converted
    // into the file from `write` on; bytes below `read` from `saved` on are
    // in the journal.
    uint64_t read;
    uint64_t write;
    uint64_t saved;
    // JOURNAL_PROBED and the file's last byte while a test of the cut may
    // have left that byte 0; else 0.
    uint64_t probe;
    // Forward, while the last window is written: the length the file is cut
    // to then; else 0.
    uint64_t end;
    uint64_t check;
};
static_assert(sizeof(JournalHead) == 136);
constexpr uint64_t JOURNAL_PROBED = 0x100;

struct Journal {
    FileHandle handle;
    char* name; // the journal's path (mem_malloc)
    JournalHead head;
    JournalHead written; // the head's progress as last written
};

// The state folder (with `create`, made owner-only when missing): a full
// path with its closing backslash (mem_malloc), or null with *error set.
char* journal_folder(bool create, ErrorCode* error);
// Journals are created in the state folder the first of them found or made;
// this forgets it (at the end of a run).
void journal_forget_folder();
// Creates a journal for the file at `path` (a full path) holding `head`
// (its magic, path length, data offset and checks are filled in here) and
// the file's bytes from head->start on, `n` of them at `initial`, all in one
// write. A thread that keeps its journals (journal_keep_spare) writes them
// over the one it used last.
ErrorCode journal_create(Journal* j, const char* path, const JournalHead* head,
                         const unsigned char* initial, uint64_t n);
// Opens an existing journal and reads its head; *path gets the file's path
// (mem_malloc). A journal whose head was never written whole is deleted:
// ERROR_NO_DATA.
ErrorCode journal_open(Journal* j, const char* name, char** path);
// Keeps the file's bytes [offset, offset + n) in the journal.
ErrorCode journal_save(Journal* j, uint64_t offset, const unsigned char* bytes, uint64_t n);
// Reads kept bytes back.
ErrorCode journal_load(Journal* j, uint64_t offset, unsigned char* bytes, uint64_t n);
// Writes the head's progress fields out, in one write, unless they are as
// they were written last.
ErrorCode journal_progress(Journal* j);
// The rewrite is over: deletes the journal (when the delete fails, blanks its
// head, so that it is never acted on), or blanks it and keeps it for the
// thread's next rewrite. journal_close only closes it (kept for the next run).
ErrorCode journal_remove(Journal* j);
void journal_close(Journal* j);
// Whether the calling thread keeps its last journal, blanked, for the next
// rewrite (a run of many files); false deletes the kept one.
void journal_keep_spare(bool keep);
// Whether a file name (not a path) is a journal's.
bool is_journal_name(const char* name);
