// Asynchronous reads and pipes: NtReadFile with an APC routine, NtCancelIoFile
// and CreatePipe.
//
// A read with an APC routine runs on a helper thread that polls the file's
// descriptor together with a cancel descriptor of its own. When it is done,
// it fills the caller's status block and queues the APC routine to the
// thread that issued the read, which runs it in its next alertable wait, as
// Windows does. The issuing call returns STATUS_PENDING at once.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace standin;

namespace {

struct PendingRead {
    HANDLE handle;
    int fd;        // a duplicate, so closing the handle cannot pull it away
    int cancel_fd; // an eventfd; readable once the read is cancelled
    WaitBlock* issuer;
    DWORD issuer_id;
    NtIoApcRoutine routine;
    void* context;
    NtIoStatusBlock* iosb;
    void* buffer;
    ULONG length;
    int64_t offset; // -1: read at the current position
    PendingRead* next;
};

std::mutex g_pending_lock;
PendingRead* g_pending; // reads not completed yet

void unlink_pending(PendingRead* r) {
    std::lock_guard<std::mutex> g(g_pending_lock);
    for (PendingRead** p = &g_pending; *p; p = &(*p)->next) {
        if (*p == r) {
            *p = r->next;
            break;
        }
    }
}

bool is_stream(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
}

// Runs on the issuing thread, in its alertable wait.
void deliver(ULONG_PTR data) {
    PendingRead* r = reinterpret_cast<PendingRead*>(data);
    r->routine(r->context, r->iosb, 0);
    free(r);
}

NTSTATUS read_now(PendingRead* r, ULONG_PTR* moved) {
    ssize_t n;
    do
        n = r->offset >= 0 ? pread(r->fd, r->buffer, r->length, r->offset)
                           : ::read(r->fd, r->buffer, r->length);
    while (n < 0 && errno == EINTR);
    *moved = 0;
    if (n < 0) return status_from_errno(errno);
    if (n == 0 && r->length > 0) return is_stream(r->fd) ? STATUS_PIPE_BROKEN : STATUS_END_OF_FILE;
    *moved = static_cast<ULONG_PTR>(n);
    return STATUS_SUCCESS;
}

void* read_helper(void* p) {
    PendingRead* r = static_cast<PendingRead*>(p);
    pollfd fds[2] = {{r->fd, POLLIN, 0}, {r->cancel_fd, POLLIN, 0}};
    NTSTATUS status;
    ULONG_PTR moved = 0;
    for (;;) {
        int n = poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = status_from_errno(errno);
            break;
        }
        if (fds[1].revents) {
            status = STATUS_CANCELLED;
            break;
        }
        if (fds[0].revents) {
            status = read_now(r, &moved);
            break;
        }
    }
    unlink_pending(r);
    close(r->fd);
    close(r->cancel_fd);
    r->iosb->Information = moved;
    __atomic_store_n(&r->iosb->Status, status, __ATOMIC_RELEASE);
    if (!queue_apc(r->issuer, deliver, reinterpret_cast<ULONG_PTR>(r))) free(r);
    return nullptr;
}

} // namespace

extern "C" {

NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, NtIoApcRoutine routine, void* context,
                          NtIoStatusBlock* iosb, void* buffer, ULONG length, LARGE_INTEGER* offset,
                          ULONG*) {
    if (event) return STATUS_NOT_IMPLEMENTED;
    Object* obj = handle_lookup(file);
    if (!obj) return STATUS_INVALID_HANDLE;
    if (obj->kind == ObjKind::Directory) return STATUS_INVALID_DEVICE_REQUEST;
    if (obj->kind != ObjKind::File || obj->fd < 0) return STATUS_OBJECT_TYPE_MISMATCH;
    if (!(obj->access & FILE_READ_DATA)) return STATUS_ACCESS_DENIED;
    // An offset is used on files; streams read where they stand.
    int64_t at = offset && offset->QuadPart >= 0 && !is_stream(obj->fd) ? offset->QuadPart : -1;
    PendingRead probe{file,    obj->fd, -1,     nullptr, 0,  routine,
                      context, iosb,    buffer, length,  at, nullptr};
    if (!routine) {
        ULONG_PTR moved;
        NTSTATUS s = read_now(&probe, &moved);
        iosb->Information = moved;
        iosb->Status = s;
        return s;
    }
    FaultRule rule;
    if (fault_take(FAULT_ASYNC_READ, 0, &rule)) return rule.status;
    PendingRead* r = static_cast<PendingRead*>(calloc(1, sizeof(PendingRead)));
    if (!r) return STATUS_NO_MEMORY;
    *r = probe;
    r->issuer = thread_wait_block();
    r->issuer_id = GetCurrentThreadId();
    r->fd = fcntl(obj->fd, F_DUPFD_CLOEXEC, 0);
    r->cancel_fd = eventfd(0, EFD_CLOEXEC);
    pthread_t helper;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    bool ok = r->fd >= 0 && r->cancel_fd >= 0;
    if (ok) {
        std::lock_guard<std::mutex> g(g_pending_lock);
        r->next = g_pending;
        g_pending = r;
    }
    if (ok && pthread_create(&helper, &attr, read_helper, r) != 0) {
        unlink_pending(r);
        ok = false;
    }
    pthread_attr_destroy(&attr);
    if (!ok) {
        if (r->fd >= 0) close(r->fd);
        if (r->cancel_fd >= 0) close(r->cancel_fd);
        free(r);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_PENDING;
}

NTSTATUS NTAPI NtCancelIoFile(HANDLE file, NtIoStatusBlock* iosb) {
    if (!handle_lookup(file)) return STATUS_INVALID_HANDLE;
    DWORD me = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> g(g_pending_lock);
        for (PendingRead* r = g_pending; r; r = r->next) {
            if (r->handle != file || r->issuer_id != me) continue;
            uint64_t one = 1;
            ssize_t n = write(r->cancel_fd, &one, sizeof one);
            (void)n;
        }
    }
    if (iosb) {
        iosb->Status = STATUS_SUCCESS;
        iosb->Information = 0;
    }
    return STATUS_SUCCESS;
}

BOOL WINAPI CreatePipe(HANDLE* read_end, HANDLE* write_end, SECURITY_ATTRIBUTES*, DWORD) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        set_last_error(RtlNtStatusToDosError(status_from_errno(errno)));
        return FALSE;
    }
    HANDLE h[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; ++i) {
        Object* obj = static_cast<Object*>(calloc(1, sizeof(Object)));
        if (obj) {
            obj->kind = ObjKind::File;
            obj->fd = fds[i];
            obj->access = i == 0 ? FILE_READ_DATA | SYNCHRONIZE : FILE_WRITE_DATA | SYNCHRONIZE;
            obj->share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            h[i] = handle_insert(obj);
            if (!h[i]) free(obj);
        }
    }
    if (!h[0] || !h[1]) {
        for (int i = 0; i < 2; ++i) {
            if (h[i])
                NtClose(h[i]);
            else
                close(fds[i]);
        }
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *read_end = h[0];
    *write_end = h[1];
    return TRUE;
}

} // extern "C"
