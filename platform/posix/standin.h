// Internals shared by the files of the Linux stand-in: the table of kernel
// objects behind HANDLE values and the mapping of errno to status codes.
#pragma once

#include "platform/nt.h"

#include <sys/types.h>

namespace standin {

enum class ObjKind : uint8_t { Free, File, Directory, Event, Thread, Other };

struct DirState; // enumeration state of a directory handle

// What the stand-in tells about one file, in the system's terms.
struct FileFacts {
    ULONG attributes;  // directory, read-only, hidden, archive, reparse point
    ULONG reparse_tag; // IO_REPARSE_TAG_SYMLINK for a link seen unfollowed, else 0
    int64_t create_time, access_time, write_time, change_time;
    uint32_t write_time_rest; // the write time's nanoseconds below its 100-ns units
    int64_t size;             // end of file; 0 for directories and links
    int64_t allocation;       // bytes allocated on disk; 0 for directories and links
    uint64_t dev, ino;
    uint64_t rdev; // the device a device file stands for
    uint32_t nlink;
    uint32_t mode; // st_mode
    bool is_dir;   // a directory, or a link (seen unfollowed) to one
    bool is_link;  // a symbolic link seen unfollowed
};

struct Object {
    ObjKind kind;
    int fd;             // -1 when the object has no descriptor
    ACCESS_MASK access; // granted access
    ULONG share;        // share mode the handle was opened with
    ULONG options;      // create options
    dev_t dev;          // identity, for share checks
    ino_t ino;
    char* unix_path;   // malloc'ed POSIX path the object was opened by
    char16_t* nt_name; // malloc'ed native name (\??\Z:\...); made when first asked for
    bool is_dir;       // reported as a folder (a link opened itself: by its target)
    bool leaf_is_link; // opened through a symbolic link as its last element
    uint32_t type;     // S_IFMT bits of what was opened: they never change
    uint64_t rdev;     // the device a device file stands for
    DirState* dir;     // directory enumeration state, or null
    bool delete_on_close;
    bool reparse; // a symbolic link opened itself (FILE_OPEN_REPARSE_POINT)
    // The first and the last write time a query on the handle reported, and
    // the nanoseconds their 100-ns units dropped: setting either time back
    // sets the exact one (a program that writes the file in between reads the
    // new time too). Guarded by the file information calls' lock.
    int64_t shown_write_time; // 0: none yet
    uint32_t shown_write_rest;
    int64_t first_write_time; // 0: none yet
    uint32_t first_write_rest;
    // Where a transfer at an offset left the file pointer, plus one, until
    // the next transfer or position call moves the descriptor there; 0: none.
    // The length the last query on the handle saw or set, plus one, while no
    // write through the handle came since; 0: none. What the open itself
    // found, for the handle's first query of its facts (open_facts_fresh):
    // nothing happened through the handle in between. Any thread that uses
    // the handle may touch them: they move atomically.
    int64_t pointer_mark;
    int64_t size_mark;
    bool open_facts_fresh;
    FileFacts open_facts;
    void* extra; // room for later kinds (events, threads)
};

// Stores a heap-allocated object and returns its handle (a multiple of 4).
HANDLE handle_insert(Object* obj);
// The object behind a handle, or null for an invalid or closed one.
Object* handle_lookup(HANDLE h);
// Removes the handle and returns its object (the caller frees it), or null.
Object* handle_remove(HANDLE h);
// Calls fn on every live object (under the table lock).
void handle_for_each(void (*fn)(Object*, void*), void* ctx);

// Standard handles: console-like values with both low bits set.
int std_handle_fd(HANDLE h); // fd 0..2, or -1 when h is no standard handle

NTSTATUS status_from_errno(int e);
// The last signal taken as a console control event, 0 before any.
int interrupt_signal();
void set_last_error(DWORD code);

// Create options that the system keeps as the handle's mode, and the one
// that deletes a file when its last handle closes.
constexpr ULONG kFileDeleteOnClose = 0x00001000;
constexpr ULONG kModeOptions = FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY |
                               FILE_NO_INTERMEDIATE_BUFFERING | FILE_SYNCHRONOUS_IO_ALERT |
                               FILE_SYNCHRONOUS_IO_NONALERT | kFileDeleteOnClose;

// A mode without any write bit: the file is read-only for every caller.
inline bool no_write_bit(mode_t m) {
    return (m & 0222) == 0;
}

// --- waits ----------------------------------------------------------------------

struct WaitBlock; // one per thread: what its waits sleep on

// The state every waitable object (event, thread) begins with; guarded by
// the lock of the synchronisation calls.
struct Waitable {
    bool signalled;
    bool auto_reset;    // a synchronization event: one waiter takes the signal
    WaitBlock* waiters; // threads waiting on the object now
};

// The calling thread's wait block (made on first use, freed when it ends).
WaitBlock* thread_wait_block();
// The wait block of the thread behind a thread handle, or null.
WaitBlock* thread_wait_block_of(HANDLE thread);
// Sets or clears the object; setting wakes its waiters.
void waitable_signal(Waitable* w, bool signalled);
// Wait blocks made for a new thread, which adopts one as its own (its
// thread object frees it; adopting null lets go of it).
WaitBlock* wait_block_new();
void wait_block_free(WaitBlock* wb);
void wait_block_adopt(WaitBlock* wb);
// Drops the handle's reference to a thread object.
void thread_object_release(Object* obj);
// Queues a procedure call that the thread's next alertable wait runs.
bool queue_apc(WaitBlock* wb, PAPCFUNC routine, ULONG_PTR data);
// Forgets the tick hooks (fault_reset calls it).
#ifdef EOLSET_TEST_HOOKS
void tick_hooks_reset();
#endif

// --- names --------------------------------------------------------------------

size_t u16len(const char16_t* s);
// Turns the object name of a create call into a POSIX path (malloc'ed).
// *trailing tells whether the name ended in a backslash.
NTSTATUS posix_path_from_native(const NtObjectAttributes* oa, char** out, bool* trailing);
// The native name under which an object is reported: \??\Z: and the path
// with backslashes, folders ending in a backslash. Null when out of memory.
char16_t* native_name_of(const char* path, bool is_dir);
// The path by which an object is reported (malloc'ed): links resolved,
// except the last element when the link itself was opened.
char* reported_path(const char* path, bool link_itself);
// ENOENT for `path`: "path not found" when its folder is missing too.
NTSTATUS missing_file(const char* path);
// The object's native name, made on first use (links resolved, as Windows
// reports them); null when out of memory.
const char16_t* object_nt_name(Object* obj);
// The last element of the object's reported name, in UTF-8, into buf.
void object_leaf(Object* obj, char* buf, size_t size);
// The status of an errno from a call on `path`.
NTSTATUS status_for_path_error(int e, const char* path);

// --- file facts, shared by the file and directory calls ----------------------

// 100-ns units since 1601-01-01 UTC, from a POSIX time.
int64_t nt_time_from_unix(int64_t sec, int64_t nsec);

// Facts of `name` under `dirfd`, statx style: `at_flags` may hold
// AT_SYMLINK_NOFOLLOW and AT_EMPTY_PATH. `leaf` is the file's own name (a
// leading dot makes it hidden); null when unknown. Returns 0 or an errno.
int file_facts(int dirfd, const char* name, int at_flags, const char* leaf, FileFacts* out);

// The path Wine would open for a POSIX path that does not exist as written
// (malloc'ed), or null: letter case ignored, an exact name preferred.
char* lookup_as_wine(const char* path);

// Folders opened lately, held by a descriptor of their own: a path below one
// is reached from it, not walked again from the root. anchor_for returns a
// descriptor the caller closes (and the path's last element in *leaf), or
// AT_FDCWD with the whole path; anchor_remember keeps a folder just opened.
int anchor_for(const char* path, const char** leaf);
void anchor_remember(const char* path, int fd);
// anchor_for without a descriptor of the caller's own: the anchor's, which
// stays open while the caller holds the anchors (anchor_hold, and
// anchor_unhold before it calls anchor_remember); never closed by the caller.
int anchor_borrow(const char* path, const char** leaf);
void anchor_hold();
void anchor_unhold();

// True when a name's bytes name an entry: not empty, not "." or "..".
bool is_plain_name(const char* name, size_t length);

} // namespace standin
