// The handle table of the stand-in, standard handles, closing, last-error
// state, status translation and the process calls.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace standin {
namespace {

// Slot i holds handle (i + 1) * 4. The slots live in chunks that, once
// made, are never moved or freed (exit handlers close handles after static
// destructors may have run), so a lookup reads them without the lock: one
// load of the chunk and one of the slot. Changes take the lock.
constexpr size_t kChunkSlots = 1024;
constexpr size_t kChunks = 4096;
std::mutex g_table_lock;
Object** g_chunks[kChunks]; // each written once, under the lock
size_t g_used;              // slots ever handed out (guarded by the lock)
size_t g_lowest_free;       // no free slot below this one (guarded by the lock)

thread_local DWORD t_last_error = 0;

// Standard handles: 0x3, 0x7 and 0xB for fds 0, 1 and 2.
constexpr uintptr_t kStdHandleBase = 3;

Object** slot_at(size_t i) {
    Object** chunk = __atomic_load_n(&g_chunks[i / kChunkSlots], __ATOMIC_ACQUIRE);
    return chunk ? &chunk[i % kChunkSlots] : nullptr;
}

} // namespace

HANDLE handle_insert(Object* obj) {
    std::lock_guard<std::mutex> g(g_table_lock);
    size_t i = g_lowest_free;
    while (i < g_used && __atomic_load_n(slot_at(i), __ATOMIC_RELAXED)) ++i;
    if (i == g_used) {
        if (i == kChunks * kChunkSlots) return nullptr;
        Object**& chunk = g_chunks[i / kChunkSlots];
        if (!__atomic_load_n(&chunk, __ATOMIC_RELAXED)) {
            Object** fresh = static_cast<Object**>(calloc(kChunkSlots, sizeof(Object*)));
            if (!fresh) return nullptr;
            __atomic_store_n(&chunk, fresh, __ATOMIC_RELEASE);
        }
        ++g_used;
    }
    __atomic_store_n(slot_at(i), obj, __ATOMIC_RELEASE);
    g_lowest_free = i + 1;
    return reinterpret_cast<HANDLE>((i + 1) * 4);
}

static size_t slot_of(HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (v == 0 || (v & 3) != 0) return SIZE_MAX;
    return v / 4 - 1;
}

Object* handle_lookup(HANDLE h) {
    size_t i = slot_of(h);
    if (i >= kChunks * kChunkSlots) return nullptr;
    Object** slot = slot_at(i);
    return slot ? __atomic_load_n(slot, __ATOMIC_ACQUIRE) : nullptr;
}

Object* handle_remove(HANDLE h) {
    size_t i = slot_of(h);
    std::lock_guard<std::mutex> g(g_table_lock);
    if (i >= g_used) return nullptr;
    Object* obj = __atomic_exchange_n(slot_at(i), nullptr, __ATOMIC_ACQ_REL);
    if (obj && i < g_lowest_free) g_lowest_free = i;
    return obj;
}

void handle_for_each(void (*fn)(Object*, void*), void* ctx) {
    std::lock_guard<std::mutex> g(g_table_lock);
    for (size_t i = 0; i < g_used; ++i)
        if (Object* obj = __atomic_load_n(slot_at(i), __ATOMIC_ACQUIRE)) fn(obj, ctx);
}

int std_handle_fd(HANDLE h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if ((v & 3) != 3 || v > kStdHandleBase + 8) return -1;
    return static_cast<int>((v - kStdHandleBase) / 4);
}

void set_last_error(DWORD code) {
    t_last_error = code;
}

// The mapping Wine uses between POSIX errors and native status values.
NTSTATUS status_from_errno(int e) {
    switch (e) {
    case 0:
        return STATUS_SUCCESS;
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return STATUS_DISK_FULL;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG:
        return STATUS_NAME_TOO_LONG;
    case EMFILE:
    case ENFILE:
        return STATUS_TOO_MANY_OPENED_FILES;
    case ELOOP:
        return STATUS_REPARSE_POINT_NOT_RESOLVED;
    case EROFS:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case ENOMEM:
        return STATUS_NO_MEMORY;
    case EBADF:
        return STATUS_INVALID_HANDLE;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    case ENOTEMPTY:
        return STATUS_DIRECTORY_NOT_EMPTY;
    case EPIPE:
        return STATUS_PIPE_BROKEN;
    case EBUSY:
    case ETXTBSY:
        return STATUS_SHARING_VIOLATION;
    case ENXIO:
    case ENODEV:
        return STATUS_NO_SUCH_DEVICE;
    case EOPNOTSUPP:
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

} // namespace standin

using namespace standin;

// --- fault injection --------------------------------------------------------
#ifdef EOLSET_TEST_HOOKS

CallLog g_call_log;
TransferHook g_transfer_hook;
bool g_fault_armed = false;

namespace {
struct ArmedRule {
    bool active;
    FaultRule rule;
};
ArmedRule g_rules[FAULT_OP_COUNT];
std::mutex g_fault_lock;
} // namespace

void fault_set(FaultOp op, const FaultRule& rule) {
    std::lock_guard<std::mutex> g(g_fault_lock);
    g_rules[op].active = true;
    g_rules[op].rule = rule;
    __atomic_store_n(&g_fault_armed, true, __ATOMIC_RELAXED);
}

void fault_reset() {
    std::lock_guard<std::mutex> g(g_fault_lock);
    for (ArmedRule& r : g_rules) r.active = false;
    // Threads a test left parked may still log a call (an event made for a
    // wait): the log is cleared with atomic stores, as it is counted.
    unsigned char* log = reinterpret_cast<unsigned char*>(&g_call_log);
    for (size_t i = 0; i < sizeof g_call_log; ++i) __atomic_store_n(log + i, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&g_fault_armed, false, __ATOMIC_RELAXED);
    __atomic_store_n(&g_transfer_hook, nullptr, __ATOMIC_RELEASE);
    tick_hooks_reset();
}

bool fault_take_slow(FaultOp op, ULONG info_class, FaultRule* out) {
    std::lock_guard<std::mutex> g(g_fault_lock);
    ArmedRule& r = g_rules[op];
    if (!r.active) return false;
    if (r.rule.info_class != 0 && r.rule.info_class != info_class) return false;
    if (r.rule.skip > 0) {
        --r.rule.skip;
        return false;
    }
    *out = r.rule;
    if (r.rule.count != 0 && --r.rule.count == 0) r.active = false;
    return true;
}

uint32_t fault_live_thread_handles() {
    uint32_t n = 0;
    handle_for_each(
        [](Object* obj, void* ctx) {
            if (obj->kind == ObjKind::Thread) ++*static_cast<uint32_t*>(ctx);
        },
        &n);
    return n;
}
#endif

namespace {

// Every status the stand-in returns, with the Win32 code Windows gives for
// it; the rest map to ERROR_MR_MID_NOT_FOUND, as there.
struct StatusMapping {
    NTSTATUS status;
    ULONG error;
};
constexpr StatusMapping kStatusMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_TIMEOUT, 258}, // WAIT_TIMEOUT
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_NO_MORE_FILES, ERROR_NO_MORE_FILES},
    {STATUS_STOPPED_ON_SYMLINK, ERROR_STOPPED_ON_SYMLINK},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_INFO_CLASS, ERROR_INVALID_PARAMETER},
    {STATUS_INFO_LENGTH_MISMATCH, 24}, // ERROR_BAD_LENGTH
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_PATH_INVALID, ERROR_BAD_PATHNAME},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, ERROR_BAD_PATHNAME},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DISK_QUOTA_EXCEEDED, ERROR_DISK_QUOTA_EXCEEDED},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_DISK_FULL, ERROR_DISK_FULL},
    {STATUS_FILE_INVALID, ERROR_FILE_INVALID},
    {STATUS_INSUFFICIENT_RESOURCES, 1450}, // ERROR_NO_SYSTEM_RESOURCES
    {STATUS_MEDIA_WRITE_PROTECTED, ERROR_WRITE_PROTECT},
    {STATUS_FILE_IS_A_DIRECTORY, ERROR_ACCESS_DENIED},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DIRECTORY_NOT_EMPTY, ERROR_DIR_NOT_EMPTY},
    {STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY},
    {STATUS_NAME_TOO_LONG, ERROR_FILENAME_EXCED_RANGE},
    {STATUS_TOO_MANY_OPENED_FILES, ERROR_TOO_MANY_OPEN_FILES},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
    {STATUS_FILE_CLOSED, ERROR_INVALID_HANDLE},
    {STATUS_PIPE_BROKEN, ERROR_BROKEN_PIPE},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    {STATUS_TOO_MANY_LINKS, ERROR_TOO_MANY_LINKS},
    {STATUS_NOT_A_REPARSE_POINT, ERROR_NOT_A_REPARSE_POINT},
    {STATUS_REPARSE_POINT_NOT_RESOLVED, ERROR_CANT_RESOLVE_FILENAME},
};

} // namespace

// --- Win32 and native calls -------------------------------------------------

extern "C" {

DWORD WINAPI GetLastError(void) {
    return t_last_error;
}
void WINAPI SetLastError(DWORD code) {
    t_last_error = code;
}

HANDLE WINAPI GetStdHandle(DWORD which) {
    int fd = -1;
    if (which == STD_INPUT_HANDLE)
        fd = 0;
    else if (which == STD_OUTPUT_HANDLE)
        fd = 1;
    else if (which == STD_ERROR_HANDLE)
        fd = 2;
    if (fd < 0) {
        set_last_error(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return reinterpret_cast<HANDLE>(kStdHandleBase + 4 * static_cast<uintptr_t>(fd));
}

BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
    int fd = std_handle_fd(console);
    if (fd < 0 || !isatty(fd)) {
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mode) *mode = 0x3; // processed and line input, as a console reports
    return TRUE;
}

UINT WINAPI SetErrorMode(UINT mode) {
    static UINT s_mode = 0;
    CALL_LOG_COUNT(set_error_mode, 1);
    UINT old = s_mode;
    s_mode = mode;
    return old;
}

static void object_free(Object* obj) {
    if (obj->fd >= 0) close(obj->fd);
    if (obj->delete_on_close && obj->unix_path) {
        if (obj->kind == ObjKind::Directory)
            rmdir(obj->unix_path);
        else
            unlink(obj->unix_path);
    }
    free(obj->unix_path);
    free(obj->nt_name);
    free(obj->dir);
    if (obj->kind == ObjKind::Event) free(obj->extra);
    if (obj->kind == ObjKind::Thread) thread_object_release(obj);
    free(obj);
}

NTSTATUS NTAPI NtClose(HANDLE handle) {
    if (std_handle_fd(handle) >= 0) return STATUS_SUCCESS; // never close 0..2 for real
    Object* obj = handle_remove(handle);
    if (!obj) return STATUS_INVALID_HANDLE;
    object_free(obj);
    return STATUS_SUCCESS;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    NTSTATUS s = NtClose(object);
    if (s != STATUS_SUCCESS) {
        set_last_error(RtlNtStatusToDosError(s));
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(intptr_t(-1));
}

BOOL WINAPI TerminateProcess(HANDLE process, UINT exit_code) {
    if (process != GetCurrentProcess()) {
        set_last_error(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    _exit(static_cast<int>(exit_code & 0xFF));
}

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS status) {
    for (const StatusMapping& m : kStatusMappings)
        if (m.status == status) return m.error;
    return ERROR_MR_MID_NOT_FOUND;
}

} // extern "C"
