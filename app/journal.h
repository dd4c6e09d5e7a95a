// The journal of one rewrite: where the file stood when it began, how far
// the rewrite has come, and the file's bytes it overwrote while a later
// step still needs them. A rewrite cut short (a kill, a lost power supply
// aside) is finished from it by the next run, once everything about the
// journal and about its file agrees with what the rewrite left.
//
// The journal file, in the machine's byte order:
//
//   [0, 160)               JournalHead: the rewrite's facts, then its progress
//   [160, data_at)         the file's full path (UTF-8, Windows form)
//   [data_at, ...)         saved original bytes: file offset p at data_at + p - start
//
// The facts (magic to initial) are written once, in the journal's first
// write together with the path and the first `initial` saved bytes; head_check
// hashes all of them. The progress (read to check) is written anew, in one
// write, before every step that overwrites the file; `check` hashes it and
// head_check. `done_sum` is the region sum (journal_region_sum) of the new text
// the file holds already, `saved_sum` that of the saved bytes a later step
// reads back: forward [read, saved), backward [saved, read); forward, the
// last window keeps the whole rest of the old text, so that a later run can
// tell a file still to be cut from one cut and appended to. A kill comes
// between two writes, or inside one: the window then in flight is redone
// from its saved bytes.
//
// A journal is a journal only once its first write is complete: that write
// leaves the magic out, a second one puts it in. A new journal is written
// under a spare's name (JOURNAL_SPARE_SUFFIX) and renamed (JOURNAL_SUFFIX)
// before its magic goes in. A rewrite that is over takes the magic out again
// when its thread keeps the journal for its next rewrite, or deletes it. So
// the file of a spare, or of a journal without its magic, is untouched or
// whole, and a later run deletes them. A running program holds every journal
// and spare it owns open without sharing write access: another run cannot
// open them (the share mode on Windows, an advisory lock on Linux) and leaves
// them alone. Journals live in a folder of the user's
// own that no one else may write (journal_home.h).
#pragma once

#include "base/types.h"

#include <cstdint>

constexpr uint32_t JOURNAL_WINDOWS = 0x1;         // the new text ends lines in CR LF
constexpr uint32_t JOURNAL_BACKWARD = 0x2;        // converted from the end (the file grows)
constexpr uint32_t JOURNAL_KEEP_TIME = 0x4;       // the file gets its old write time back
constexpr uint32_t JOURNAL_KEEP_BOMS = 0x8;       // byte-order marks stay in the new text
constexpr uint32_t JOURNAL_KEEP_FIRST_BOM = 0x10; // a mark at the file's first byte stays
constexpr uint32_t JOURNAL_FLAGS = 0x1F;          // every flag a journal may hold

// How the names of journals and of spares end.
constexpr char JOURNAL_SUFFIX[] = ".eolset-journal";
constexpr char JOURNAL_SPARE_SUFFIX[] = ".eolset-spare";

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
    uint64_t initial; // saved bytes from `start` that came with the first write
    uint64_t head_check;
    // Progress. Forward: the original below `read` is converted into the
    // file below `write`; bytes from `read` up to `saved` are in the journal,
    // the rest still in the file. Backward: the original from `read` on is
    // converted into the file from `write` on; bytes below `read` from
    // `saved` on are in the journal.
    uint64_t read;
    uint64_t write;
    uint64_t saved;
    // JOURNAL_PROBED and the file's last byte while a test of the cut may
    // have left that byte 0; else 0.
    uint64_t probe;
    // Forward, while the last window is written or the tail moved: the
    // length the file is cut to then; else 0.
    uint64_t end;
    // Forward: bytes another program appended while the rewrite ran, saved
    // at [old_length, old_length + tail) and moved behind the new text.
    uint64_t tail;
    uint64_t done_sum;
    uint64_t saved_sum;
    uint64_t check;
};
static_assert(sizeof(JournalHead) == 160);
constexpr uint64_t JOURNAL_PROBED = 0x100;

// The file offsets whose saved bytes a later step reads back, as the
// progress fields say: saved_sum is their region sum.
inline void journal_live_range(const JournalHead& h, uint64_t* lo, uint64_t* hi) {
    if (h.flags & JOURNAL_BACKWARD) {
        *lo = h.saved < h.read ? h.saved : h.read;
        *hi = h.read;
    } else {
        *lo = h.read;
        *hi = h.saved > h.read ? h.saved : h.read;
    }
}

// Whether bytes another program appended may be in the journal before its
// progress counts them (forward, the last window written): the journal's
// size is then bounded by its file's length (journal_size_for).
inline bool journal_tail_unbounded(const JournalHead& h) {
    return !(h.flags & JOURNAL_BACKWARD) && h.end != 0 && h.tail == 0;
}
// Null when a journal of `size` bytes is no larger than its rewrite could
// need with the file `file_length` bytes long; else why not.
const char* journal_size_for(const JournalHead& h, uint64_t size, uint64_t file_length);

struct Journal {
    FileHandle handle;
    char* name; // the journal's path (mem_malloc)
    JournalHead head;
    JournalHead written; // the head's progress as last written
    uint64_t extent;     // the journal's length as written
};

// A sum over file bytes that adds up across any split of a region: the sum
// of [a, b) plus that of [b, c) is the sum of [a, c), whatever a, b and c.
// Each byte counts by its value and its offset in the file, `at` being the
// offset of p[0].
uint64_t journal_region_sum(uint64_t at, const unsigned char* p, uint64_t n);

// Creates a journal for the file at `path` (a full path) holding `head`
// (its magic, path length, data offset and checks are filled in here) and
// the file's bytes from head->start on, `n` of them at `initial`.
ErrorCode journal_create(Journal* j, const char* path, const JournalHead* head,
                         const unsigned char* initial, uint64_t n);

enum JournalOpen {
    JOURNAL_OPENED, // every check passed: *path holds the file's path
    JOURNAL_BUSY,   // a running program holds it, or took it away since it was listed
    JOURNAL_KEPT,   // not to be acted on: *reason says why
    JOURNAL_IDLE,   // no magic: its first write never ended, or a thread kept it idle
};
// Opens an existing journal and checks everything the journal says about
// itself. Nothing is changed or deleted.
JournalOpen journal_open(Journal* j, const char* name, char** path, const char** reason);
// Deletes an idle journal that journal_open opened.
void journal_drop(Journal* j);
// Deletes a spare that no running program holds: true when it is gone.
bool journal_drop_spare(const char* name);
// Keeps the file's bytes [offset, offset + n) in the journal.
ErrorCode journal_save(Journal* j, uint64_t offset, const unsigned char* bytes, uint64_t n);
// Reads kept bytes back.
ErrorCode journal_load(Journal* j, uint64_t offset, unsigned char* bytes, uint64_t n);
// Writes the head's progress fields out, in one write, unless they are as
// they were written last.
ErrorCode journal_progress(Journal* j);
// The rewrite is over: the journal becomes the thread's spare (when it keeps
// one) or is deleted. journal_close only closes it (kept for the next run).
ErrorCode journal_remove(Journal* j);
void journal_close(Journal* j);
// Whether the calling thread keeps its last journal, as a spare, for the next
// rewrite (a run of many files); false deletes the kept one.
void journal_keep_spare(bool keep);
// Whether a file name (not a path) is a journal's or a spare's: never input.
bool is_journal_name(const char* name);
// The same for a journal's name only.
bool is_journal_proper_name(const char* name);
