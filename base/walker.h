// The folder walker: a root folder and +/- filters in, a depth-first
// sequence of selected entries out, each folder in name order (folded, then
// exact), a folder's contents right after the folder's own place.
//
// A folder is handed out when the filters select it (at once, before its
// contents) or when something inside it is handed out (just before that
// first item, outermost unannounced folder first); the root never is.
//
// walker_next results:
//   0      an entry: full path, the offset of its name within the path, and
//          its FileEntry (null when the lister gave none). The pointers stay
//          valid until the walker leaves the folder holding the entry.
//   18     the walk is over; every later call returns 18 again. Outputs are
//          null and 0.
//   1921   a folder to be entered is one of the folders on the current path
//          (a link to an ancestor). Returned once, with the folder's path,
//          name offset and entry; the folder is not entered. The next call
//          goes on: with the folder itself if the filters select it, then
//          with the rest of its parent.
//   other  a subfolder could not be opened or read (the lister's error, 14
//          when memory ran out). Returned once, with the failing folder's
//          path, name offset and entry. The next call goes on: with the
//          folder itself if the filters select it (its contents are not
//          walked), then with the rest of its parent. Nothing else of the
//          tree is skipped.
//   1223   the cancel signal was found set while a folder was being read.
//          Returned once with that folder's path; the walk is then over
//          (18).
// A symbolic link or junction whose target lies outside the root folder is
// skipped (counted in links_outside); a volume mounted inside it is part of it.
//
//   14     without a path: memory ran out for a probe string or for the
//          record that enters a folder. The entry being examined is lost
//          (a folder is handed out if selected but not entered); the next
//          call goes on with the next entry.
#pragma once

#include "base/alloc.h"
#include "base/jindex.h"
#include "base/runtime/signal.h"
#include "base/types.h"

#include <cstddef>
#include <cstdint>

// One folder, read completely and sorted.
struct FolderLevel;
struct FolderLevelOps {
    void (*release)(FolderLevel* level);
    ErrorCode (*next)(FolderLevel* level, const char** path, uint64_t* name_offset,
                      FileEntry** entry);
};
struct FolderLevel {
    const FolderLevelOps* ops;
    ArenaAllocator arena; // every LevelEntry of the folder
    ji_pos_t position;
    JiRecord* root;
    uint64_t count;
};

// A jindex record: the links, the entry, the full path stored inline.
struct LevelEntry {
    JiRecord links;
    FileEntry copy;
    FileEntry* entry; // &copy, or null when the lister gave no FileEntry
    uint32_t name_offset;
    char path[1]; // allocated with room for the whole path and its NUL
};
constexpr uint64_t LEVEL_ENTRY_HEAD = offsetof(LevelEntry, path);

struct WalkFrame {
    FolderLevel* level;
    const char* path; // owned by the level's LevelEntry
    uint64_t name_offset;
    FileEntry* entry;
    uint8_t included; // the filters select the entry
    uint8_t yielded;  // handed out already, or nothing of its own to hand out
};

// The parent's frame with the entered folder as its entry, innermost first.
struct SavedFrame {
    SavedFrame* next;
    WalkFrame frame;
};

// Leaves an entry out before the filters see it: neither handed out nor
// entered (true). Given the entry's full path and its FileEntry (or null).
using WalkScreen = bool (*)(void* context, const char* path, const FileEntry* entry);

struct FolderWalker;
struct FolderWalkerOps {
    void (*release)(FolderWalker* walker);
    ErrorCode (*next)(FolderWalker* walker, const char** path, uint64_t* name_offset,
                      FileEntry** entry);
};
struct FolderWalker {
    const FolderWalkerOps* ops;
    Signal* cancel;
    ArenaAllocator arena; // prepared filters and their array
    ErrorCode pending_error;
    int32_t flags; // handed to every lister
    uint64_t root_offset;
    uint64_t filter_count;
    const char** filters; // null-terminated
    SavedFrame* ancestors;
    WalkFrame frame;
    // The folder the pending error belongs to (null when none).
    const char* pending_path;
    uint64_t pending_name_offset;
    FileEntry* pending_entry;
    // The root folder's object name as the system reports it (its closing
    // backslash dropped), from the arena; links are followed only to it
    // and below it.
    const char16_t* root_name;
    uint64_t root_name_length;
    FileEntry root_entry; // the root folder, for the loop check
    // Selected links, and links to folders the filters would enter, that
    // lead outside the root folder: neither handed out nor followed.
    uint64_t links_outside;
    WalkScreen screen; // null: none
    void* screen_context;
};

// Walker flag: folders of version-control systems (.git, .hg, .svn, .bzr,
// _darcs, CVS) are not entered, unless the root folder itself lies inside one.
constexpr int32_t WALK_SKIP_VCS = 0x1;

// Whether a folder name is one that a version-control system keeps its own
// data in (compared without regard to ASCII case).
bool is_vcs_folder_name(const char* name, uint64_t length);

// A null or empty folder means ".". Filters: a null-terminated array, or null.
ErrorCode walker_create(FolderWalker** out, Signal* cancel, const char* folder, int32_t flags,
                        const char* const* filters);
// Whether the folder being read holds an entry `name`, by its listing (no
// call to the system): 1 or 0; -1 when the folder being read is not
// folder[0, length) (no separator at its end).
int walker_level_holds(FolderWalker* walker, const char* folder, uint64_t length, const char* name);
// Sets the screen every entry passes first.
void walker_set_screen(FolderWalker* walker, WalkScreen screen, void* context);
ErrorCode walker_next(FolderWalker* walker, const char** path, uint64_t* name_offset,
                      FileEntry** entry);
void walker_release(FolderWalker* walker);

ErrorCode level_open(FolderLevel** out, Signal* cancel, const char* folder, int32_t flags);
// 0 with the next entry, or 18 with null outputs.
ErrorCode level_next(FolderLevel* level, const char** path, uint64_t* name_offset,
                     FileEntry** entry);
void level_release(FolderLevel* level);

// Whether the object name `target` is `root` or lies below it (simple case
// folding; `root` without its closing backslash).
bool name_within(const char16_t* root, uint64_t root_length, const char16_t* target,
                 uint64_t target_length);
// Whether an object name is a volume's root (nothing after the volume part).
bool name_is_volume_root(const char16_t* name, uint64_t length);

// jindex comparison: the LevelEntry being inserted (context) against one in
// the index, by folded then exact path.
int32_t entry_order(void* context, const JiRecord* record);
