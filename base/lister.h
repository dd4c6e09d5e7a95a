// Listing one folder: its entries as full UTF-8 paths with their FileEntry
// records, read in large batches with the native directory query.
#pragma once

#include "base/types.h"

#include <cstdint>

struct DirectoryLister;

// Operations table; slot order: release, next.
struct ListerOps {
    void (*release)(DirectoryLister* self);
    ErrorCode (*next)(DirectoryLister* self, const char** path, uint64_t* name_offset,
                      FileEntry** entry);
};

// One of the directory record formats the lister can read.
struct ListingClass {
    uint32_t info_class; // 0 until the first query
    uint32_t fixed;      // byte offset of the name in a record; 1 until a class is chosen
    uint64_t (*record_length)(const void* record);
    // Converts the record's name into the lister's name buffer; returns its byte length.
    uint64_t (*name)(DirectoryLister* self, const void* record);
    void (*fill)(const void* record, FileEntry* entry);
};

constexpr uint32_t LISTER_NAME_BUFFER = 776;
constexpr uint32_t LISTER_BUFFER_SIZE = 61952;
constexpr uint32_t LISTER_QUERY_SIZE = 61440;

struct DirectoryLister {
    const ListerOps* ops;
    uint32_t options;    // 0: symbolic links are followed
    FileHandle folder;   // the open folder
    uint64_t folder_len; // bytes of the folder path, its closing separator included
    uint64_t path_cap;   // bytes in path
    char* path;          // folder path, separator, current name, NUL
    ListingClass cls;    // the chosen record format
    uint64_t cursor;     // next record in buffer
    uint64_t end;        // end bound of the records in buffer
    FileEntry folder_entry;
    FileEntry target_entry; // a followed symbolic link's target
    FileEntry entry;        // the current entry
    char name[LISTER_NAME_BUFFER];
    alignas(8) uint8_t buffer[LISTER_BUFFER_SIZE];
};

// Opens a lister on `folder` (options 0). On failure *place receives null.
ErrorCode lister_open(DirectoryLister** place, const char* folder, uint32_t options);
// The next entry: its full path (owned by the lister), the offset of its name
// in that path, and optionally its record. ERROR_NO_MORE_FILES (18) at the end;
// on any error null, 0 and null. Valid until the next call or the release.
ErrorCode lister_next(DirectoryLister* lister, const char** path, uint64_t* name_offset,
                      FileEntry** entry);
// Closes the folder and frees the lister. Null is ignored.
void lister_release(DirectoryLister* lister);
// The next raw system record, querying the system when the buffer is used up.
ErrorCode lister_next_record(DirectoryLister* lister, const void** record);
// One NtQueryDirectoryFile call of the given class into buf, translated.
ErrorCode query_directory(FileHandle folder, uint32_t info_class, void* buf, uint32_t length);
