// ReadFile and WriteFile of the stand-in: synchronous transfers on file
// objects and the standard handles, with Windows' error codes, fault
// injection and the call log. Also the breakpoint trap.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace standin;

namespace {

// Resolves a handle to the descriptor a transfer may use, checking the
// object's kind and granted access. 0 and the error code on failure.
DWORD transfer_fd(HANDLE h, ACCESS_MASK needed, int* fd, uint32_t* type, Object** object) {
    *type = 0;
    *object = nullptr;
    int std_fd = std_handle_fd(h);
    if (std_fd >= 0) {
        *fd = std_fd; // the system decides what the standard handles allow
        return 0;
    }
    Object* obj = handle_lookup(h);
    if (!obj) return ERROR_INVALID_HANDLE;
    if (obj->kind == ObjKind::Directory) return ERROR_INVALID_FUNCTION;
    if (obj->kind != ObjKind::File || obj->fd < 0) return ERROR_INVALID_HANDLE;
    if (!(obj->access & needed)) return ERROR_ACCESS_DENIED;
    *fd = obj->fd;
    *type = obj->type;
    *object = obj;
    return 0;
}

// A transfer at an offset (an OVERLAPPED on this synchronous handle) leaves
// the file pointer behind what it moved, as Windows does; the descriptor is
// moved there only when a transfer without an offset comes.
int64_t offset_of(const OVERLAPPED* overlapped) {
    return static_cast<int64_t>((uint64_t{overlapped->OffsetHigh} << 32) | overlapped->Offset);
}

void catch_up_pointer(Object* obj, int fd) {
    int64_t mark = obj ? __atomic_exchange_n(&obj->pointer_mark, 0, __ATOMIC_ACQ_REL) : 0;
    if (mark) lseek(fd, mark - 1, SEEK_SET);
}

// One read or write, at the OVERLAPPED's offset when one is given; errno
// tells why when it returns -1.
ssize_t move_bytes(Object* obj, int fd, bool write, void* buffer, DWORD n,
                   const OVERLAPPED* overlapped) {
    ssize_t moved;
    if (overlapped) {
        int64_t at = offset_of(overlapped);
        do moved = write ? ::pwrite(fd, buffer, n, at) : ::pread(fd, buffer, n, at);
        while (moved < 0 && errno == EINTR);
        if (moved >= 0) {
            __atomic_store_n(&obj->pointer_mark, at + moved + 1, __ATOMIC_RELEASE);
        }
        return moved;
    }
    catch_up_pointer(obj, fd);
    do moved = write ? ::write(fd, buffer, n) : ::read(fd, buffer, n);
    while (moved < 0 && errno == EINTR);
    return moved;
}

// A pipe or socket, by the kind the handle recorded at its opening (0:
// unknown, ask the descriptor).
bool is_stream(int fd, uint32_t type) {
    struct stat st;
    if (type == 0) type = fstat(fd, &st) == 0 ? st.st_mode & S_IFMT : 0;
    return S_ISFIFO(type) || S_ISSOCK(type);
}

DWORD error_from_errno(int e) {
    switch (e) {
    case EPIPE:
        return ERROR_NO_DATA; // the reading end is closed
    case ENOSPC:
    case EDQUOT:
    case EFBIG: // beyond the file-size limit
        return ERROR_DISK_FULL;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EISDIR:
        return ERROR_INVALID_FUNCTION;
    default:
        return RtlNtStatusToDosError(status_from_errno(e));
    }
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

} // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read,
                     LPOVERLAPPED overlapped) {
    if (read) *read = 0;
    uint32_t call = CALL_LOG_COUNT(reads, 1);
    CALL_LOG_NOTE(last_read_size, to_read);
    transfer_hook(false, call);
    int fd = -1;
    uint32_t type = 0;
    Object* obj = nullptr;
    if (DWORD e = transfer_fd(file, FILE_READ_DATA, &fd, &type, &obj)) return fail(e);
    if (overlapped && (!obj || is_stream(fd, type))) return fail(ERROR_INVALID_PARAMETER);

    FaultRule rule;
    if (fault_take(FAULT_READ, 0, &rule)) {
        if (rule.error != 0) return fail(rule.error);
        if (rule.short_to >= 0 && static_cast<uint64_t>(rule.short_to) < to_read)
            to_read = static_cast<DWORD>(rule.short_to);
    }

    ssize_t n = move_bytes(obj, fd, false, buffer, to_read, overlapped);
    if (n < 0) return fail(error_from_errno(errno));
    // At or past the end, a read at an offset fails as on Windows.
    if (overlapped && n == 0 && to_read > 0) return fail(ERROR_HANDLE_EOF);
    // A pipe whose writers are gone reports a broken pipe, as on Windows;
    // a file at its end reads 0 bytes with success.
    if (n == 0 && to_read > 0 && is_stream(fd, type)) return fail(ERROR_BROKEN_PIPE);
    if (read) *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                      LPOVERLAPPED overlapped) {
    if (written) *written = 0;
    uint32_t call = CALL_LOG_COUNT(writes, 1);
    CALL_LOG_NOTE(last_write_size, to_write);
    transfer_hook(true, call);
    int fd = -1;
    uint32_t type = 0;
    Object* obj = nullptr;
    if (DWORD e = transfer_fd(file, FILE_WRITE_DATA | FILE_APPEND_DATA, &fd, &type, &obj))
        return fail(e);
    if (overlapped && (!obj || is_stream(fd, type))) return fail(ERROR_INVALID_PARAMETER);

    FaultRule rule;
    if (fault_take(FAULT_WRITE, 0, &rule)) {
        if (rule.error != 0) return fail(rule.error);
        if (rule.short_to >= 0 && static_cast<uint64_t>(rule.short_to) < to_write)
            to_write = static_cast<DWORD>(rule.short_to);
    }

    ssize_t n = move_bytes(obj, fd, true, const_cast<void*>(buffer), to_write, overlapped);
    if (n < 0) return fail(error_from_errno(errno));
    if (obj) {
        __atomic_store_n(&obj->size_mark, 0, __ATOMIC_RELEASE);
        __atomic_store_n(&obj->open_facts_fresh, false, __ATOMIC_RELEASE);
    }
    // A short write (the disk filled up midway) is success with the count;
    // the next write then fails.
    CALL_LOG_COUNT(bytes_written, static_cast<uint64_t>(n));
    if (written) *written = static_cast<DWORD>(n);
    return TRUE;
}

// With no debugger the process dies of SIGTRAP, as a Windows process dies of
// the unhandled breakpoint exception.
void WINAPI DebugBreak(void) {
    raise(SIGTRAP);
}

} // extern "C"
