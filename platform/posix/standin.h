// Internals shared by the files of the Linux stand-in: the table of kernel
// objects behind HANDLE values and the mapping of errno to status codes.
#pragma once

#include "platform/nt.h"

#include <sys/types.h>

namespace standin {

enum class ObjKind : uint8_t { Free, File, Directory, Event, Thread, Other };

struct DirState; // enumeration state of a directory handle

struct Object {
    ObjKind kind;
    int fd;             // -1 when the object has no descriptor
    ACCESS_MASK access; // granted access
    ULONG share;        // share mode the handle was opened with
    ULONG options;      // create options
    dev_t dev;          // identity, for share checks
    ino_t ino;
    char* unix_path;   // malloc'ed POSIX path the object was opened by
    char16_t* nt_name; // malloc'ed native name (\??\Z:\...) for NtQueryObject
    DirState* dir;     // directory enumeration state, or null
    bool delete_on_close;
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
void set_last_error(DWORD code);

} // namespace standin
