// Where journals live: the folders a journal may be kept in, tried in
// order, each used only when it is a folder itself (not a link), the user's
// own and writable by no one else; eolset makes a missing one for its
// owner alone.
//
//   1. $EOLSET_STATE_DIR, when set (the folder itself);
//   2. the per-user state folder: %LOCALAPPDATA%\eolset (on Linux
//      $XDG_STATE_HOME/eolset or ~/.local/state/eolset);
//   3. a private folder in the system's temporary folder: %TEMP%\eolset
//      (on Linux $TMPDIR/eolset-<uid> or /tmp/eolset-<uid>).
//
// A run makes its journals in the first one that may be used; it looks for
// journals left by earlier runs in every one it can read.
#pragma once

#include "base/types.h"
#include "platform/nt.h"

enum JournalPlace { JOURNAL_PLACE_SET, JOURNAL_PLACE_STATE, JOURNAL_PLACE_TEMP, JOURNAL_PLACES };

// What a rewrite gets when no folder could be used for its journal: the run
// said why once (ERROR_CANNOT_MAKE).
constexpr ErrorCode ERR_NO_JOURNAL_FOLDER = 82;

// Journals and spares: read, written, renamed and deleted by their owner;
// no other handle may write them meanwhile, so that a run never takes one
// that another run holds.
constexpr uint32_t kJournalAccess =
    FILE_READ_DATA | FILE_WRITE_DATA | DELETE | SYNCHRONIZE | kReadControl;
constexpr uint32_t kJournalShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
constexpr uint32_t kJournalOptions =
    FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;

// The full path of a place, with its closing backslash (mem_malloc), whether
// or not the folder exists; null with *error set when the place has none
// (its variable unset, say).
char* journal_place(int place, ErrorCode* error);
// Whether the folder at `path` may hold journals: 0, ERROR_INVALID_OWNER for
// a link, a folder not the user's own or one others may write in, or why it
// could not be looked at.
ErrorCode journal_place_check(const char* path);

// Chooses the run's folder, once: the first place that may be used, made
// when missing. 0, or the reason the last place tried could not be used,
// with *tried its path (mem_malloc; null when no place had a path).
ErrorCode journal_choose_folder(char** tried);
// The chosen folder (chosen now when it was not), a copy the caller owns;
// with `make_again`, chosen anew (it was removed meanwhile). Null with
// *error set: ERR_NO_JOURNAL_FOLDER when no place may be used.
char* journal_shared_folder(bool make_again, ErrorCode* error);
// Forgets the choice (at the end of a run).
void journal_forget_folder();

// Creates a file (exclusively) or opens or creates a folder, for its owner
// alone.
ErrorCode journal_create_private(const char* path, bool folder, FileHandle* out);
// Whether the object is the user's own and, for a folder, whether no one
// else may add, delete or rename what it holds, nor change who may.
bool journal_users_own(FileHandle h, bool folder);
