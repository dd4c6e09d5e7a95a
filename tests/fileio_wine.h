// Where the file tests accept an answer of Wine that Windows would not give.
// Every such difference is named here, once; the tests keep Windows'
// expectation and ask these functions before accepting Wine's.
#pragma once

#include "tests/wine.h"

// Wine 8 follows a symbolic link even when FILE_OPEN_REPARSE_POINT asks for
// the link itself, and refuses FileReparsePointInformation (33) outright: a
// link opened itself looks exactly like its target.
inline bool wine_follows_reparse_points() {
    return running_under_wine();
}

// Wine leaves the read-only check to the POSIX open, which lets root write
// anything: running as root, it opens a read-only file for writing.
inline bool wine_writes_read_only_files() {
    return running_under_wine();
}

// Wine reports no birth time: its creation time is taken from the write and
// change times, so setting the write time moves it too.
inline bool wine_creation_time_follows_write_time() {
    return running_under_wine();
}

// On a POSIX file system every change of a file's times sets its change time
// (ctime) to now; neither Wine nor our stand-in can keep it. Windows keeps it
// when the change time is given as -1.
inline bool change_time_moves_with_times() {
#ifdef _WIN32
    return running_under_wine();
#else
    return true;
#endif
}

// Wine names a folder without the closing backslash that Windows gives it
// (only the root keeps one).
inline bool wine_folder_names_lack_backslash() {
    return running_under_wine();
}

// Wine names a file object by its drive, \??\Z:\dir\file, where Windows gives
// the device, \Device\HarddiskVolume3\dir\file. Our stand-in answers as Wine
// does, so both builds hash the same volume part, \??\Z:.
inline bool object_names_by_drive() {
#ifdef _WIN32
    return running_under_wine();
#else
    return true;
#endif
}

// Wine does not check a handle's access before setting the end of file: the
// POSIX truncation of a read-only descriptor fails and Wine answers "invalid
// parameter" (87) where Windows answers "access denied" (5).
inline ErrorCode wine_error_for_cutting_a_reading_handle(ErrorCode windows) {
    return running_under_wine() ? 87 : windows;
}

// Wine refuses the directory format FileIdExtdDirectoryInformation (60),
// which NTFS supports; the lister then settles on format 38.
inline bool wine_refuses_extd_dir_info() {
    return running_under_wine();
}

// Wine shows a symbolic link to a file as the file itself (no reparse
// attribute, no tag) and names what a link leads to by the link's own path.
// A link to a file outside the folder cannot be told from a file, and a link
// to a folder cannot be told to lie inside: no link to a folder is followed.
inline bool wine_hides_where_links_lead() {
    return running_under_wine();
}
