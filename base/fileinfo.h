// Describing an open file: its entry (FileEntry), length, write time and volume room.
#pragma once

#include "base/native.h"

ErrorCode file_query_entry(FileHandle h, FileEntry* entry);
ErrorCode file_query_entry_by_path(const char* path, FileEntry* entry);
void entry_finish(FileEntry* entry);
// How many elements of a native device name identify its volume, by the
// table of known device prefixes; 0 when no row matches.
uint32_t volume_component_count(const char16_t* name, uint64_t length);
// The length of the volume part of a device name: the code units before the
// components-th backslash counted from the second unit (all but the last
// unit when the name has fewer backslashes).
uint64_t volume_prefix_length(const char16_t* name, uint64_t length, uint32_t components);
void volume_identity_hash(uint64_t serial, const char16_t* text, uint64_t length, uint32_t out[3]);
// What one query tells of an open file.
struct OpenFileFacts {
    uint64_t id; // the 64-bit file id (FileInternalInformation's)
    uint64_t size;
    uint64_t allocated; // less than the size where the file has holes
    int64_t write_time;
    uint32_t attributes;
};
// Asks in one query where the system answers FileStatInformation, else in two.
ErrorCode file_query_facts(FileHandle h, OpenFileFacts* facts);
// The length and write time of an open file, in one query; both 0 on failure.
ErrorCode file_query_size_time(FileHandle h, uint64_t* size, int64_t* write_time);
ErrorCode file_set_write_time(FileHandle h, int64_t time);
// The bytes free to this caller on the file's volume, and whether the file
// system writes every changed block to new space (copy on write), so that
// overwriting a file in place takes room too.
ErrorCode file_volume_room(FileHandle h, uint64_t* free_bytes, bool* copy_on_write);
