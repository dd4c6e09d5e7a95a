// Telling regular files of a file system from everything else a path can
// open: devices, volumes, pipes, sockets, consoles, folders, and the files
// of pseudo file systems (proc, sysfs, cgroup ...), which may never end or
// may change the system when written.
#pragma once

#include "base/types.h"

// 0 when the open handle is a regular file on a volume with storage;
// ERR_BAD_FILE_TYPE when it is anything else, or the query's error.
ErrorCode file_check_regular(FileHandle h);

// For a handle just opened for conversion: when *h is open but not a
// regular file, closes it and leaves it invalid. Returns the open's error
// `e`, or the refusal when the open had succeeded.
ErrorCode keep_regular_file(FileHandle* h, ErrorCode e);

// keep_regular_file for a file the walk listed, with the file's facts asked
// in the same query the check needs (*known false when that query failed:
// *facts is then empty). What a volume is (storage, or a pseudo file system)
// is asked once per run for each volume the entry names.
struct OpenFileFacts;
ErrorCode keep_listed_regular_file(FileHandle* h, ErrorCode e, const FileEntry* entry,
                                   OpenFileFacts* facts, bool* known);
// Forgets the volumes (the end of a run).
void filekind_forget_volumes();

// Whether `path` names something that opens and is no folder: a single
// file argument. *entry receives what the system tells of it (cleared when
// it tells nothing, as for devices under Wine).
bool single_file_entry(const char* path, FileEntry* entry);
// Whether `path` names a symbolic link (or other reparse point) whose target
// does not exist: no file and no folder, and nothing to convert.
bool path_is_link_to_nothing(const char* path);

// Whether the open handle is the file the walk listed: a name can be taken
// over between the listing and the open (or, on a system that looks names
// up with letter case ignored, lead to another entry). True when the entry
// carries no identity to compare.
bool file_is_entry(FileHandle h, const FileEntry* entry);
