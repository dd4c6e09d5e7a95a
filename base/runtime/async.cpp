#include "base/runtime/async.h"

#include "base/alloc.h"
#include "base/fileopen.h"
#include "base/runtime/lock.h"
#include "base/runtime/record.h"
#include "base/runtime/tick.h"
#include "base/runtime/voalarm.h"

#include <cstddef>

int32_t async_outstanding = 0;

// Marks a read while its call is being issued; the completion routine
// clears `io` when it runs first.
struct IssueMarker {
    AsyncIoBlock* io;
};

namespace {

constexpr uint64_t kNoDeadline = ~0ull;
constexpr int32_t kPending = -1;

template <class T> AsyncRead* request_of(T* member, size_t offset) {
    return reinterpret_cast<AsyncRead*>(reinterpret_cast<char*>(member) - offset);
}

void add_ref(AsyncRead* r) {
    __atomic_add_fetch(&r->references, 1, __ATOMIC_ACQ_REL);
}

// Adds a reference unless the count has reached 0: the request has then
// reached its outcome, its callback runs or has run, and nothing may be
// queued for it any more.
bool add_ref_unless_done(AsyncRead* r) {
    int32_t c = __atomic_load_n(&r->references, __ATOMIC_ACQUIRE);
    while (c > 0) {
        if (__atomic_compare_exchange_n(&r->references, &c, c + 1, true, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            return true;
    }
    return false;
}

// Drops the reference of a detached listener or timer. Every caller of
// detach holds a reference of its own, so this one is never the last.
void drop_ref(AsyncRead* r) {
    __atomic_sub_fetch(&r->references, 1, __ATOMIC_ACQ_REL);
}

void issue_step(Timer* t);

// The count reached 0: this thread alone reports the outcome.
void finish(AsyncRead* r) {
    r->callback(r->user, r->result, r->done);
    if (__atomic_sub_fetch(&async_outstanding, 1, __ATOMIC_ACQ_REL) == 0 &&
        signal_is_set(&alarm_stop_signal))
        alarm_wake();
    mem_free(r);
}

// Drops a reference. Whether it is the last one and the drop itself are
// one compare-and-swap, so of releases that race exactly one sees the last
// reference, and only it re-issues the read or reports the outcome. While
// one reference is left no other holder can drop one; only a cancel can
// still add one, which makes the final swap fail and the decision repeat.
void release(AsyncRead* r) {
    int32_t c = __atomic_load_n(&r->references, __ATOMIC_ACQUIRE);
    for (;;) {
        if (c > 1) {
            if (__atomic_compare_exchange_n(&r->references, &c, c - 1, true, __ATOMIC_ACQ_REL,
                                            __ATOMIC_ACQUIRE))
                return;
            continue;
        }
        int32_t result = r->result;
        if (result == 0 && r->done < r->minimum) {
            if (!__atomic_load_n(&r->cancel_requested, __ATOMIC_SEQ_CST)) {
                // Data came, but not enough: read again, with this reference. A
                // cancel that comes from now on is seen by the issue step.
                __atomic_store_n(&r->completed, 0, __ATOMIC_RELEASE);
                if (!alarm_schedule(&r->step_timer, issue_step, 0)) issue_step(&r->step_timer);
                return;
            }
            // A cancel that came while the read was delivering data ends it.
            result = __atomic_load_n(&r->timed_out, __ATOMIC_ACQUIRE) ? ERROR_SEM_TIMEOUT
                                                                      : ERROR_OPERATION_ABORTED;
        }
        if (__atomic_compare_exchange_n(&r->references, &c, 0, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE)) {
            r->result = result;
            finish(r);
            return;
        }
    }
}

// Takes back every listener and the time-out timer that are still armed.
void detach(AsyncRead* r) {
    if (r->cancel_signal && signal_remove_listener(r->cancel_signal, &r->cancel_listener))
        drop_ref(r);
    if (signal_remove_listener(&alarm_stop_signal, &r->stop_listener)) drop_ref(r);
    if (alarm_cancel(&r->timeout_timer)) drop_ref(r);
}

void cancel_step(Timer* t) {
    AsyncRead* r = request_of(t, offsetof(AsyncRead, cancel_timer));
    __atomic_store_n(&r->io.cancel, 1, __ATOMIC_SEQ_CST);
    // A read that has completed has nothing left to cancel, and the call
    // would hit other requests' reads on the same handle.
    if (r->handle && r->handle != INVALID_HANDLE_VALUE &&
        !__atomic_load_n(&r->completed, __ATOMIC_ACQUIRE)) {
        NtIoStatusBlock ignored;
        NtCancelIoFile(r->handle, &ignored);
    }
    release(r);
}

// Cancels from a step or a listener, which holds a reference of its own.
void request_cancel(AsyncRead* r) {
    detach(r);
    int32_t clear = 0;
    if (!__atomic_compare_exchange_n(&r->cancel_requested, &clear, 1, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return;
    add_ref(r);
    if (!alarm_schedule(&r->cancel_timer, cancel_step, 0)) release(r);
}

void on_cancel_signal(SignalListener* l) {
    AsyncRead* r = request_of(l, offsetof(AsyncRead, cancel_listener));
    request_cancel(r);
    release(r);
}

void on_stop_signal(SignalListener* l) {
    AsyncRead* r = request_of(l, offsetof(AsyncRead, stop_listener));
    request_cancel(r);
    release(r);
}

void on_timeout(Timer* t) {
    AsyncRead* r = request_of(t, offsetof(AsyncRead, timeout_timer));
    __atomic_store_n(&r->timed_out, 1, __ATOMIC_RELEASE);
    request_cancel(r);
    release(r);
}

bool ends_data(int32_t error) {
    switch (error) {
    case 38:
    case 39:
    case 59:
    case 64:
    case 109:
    case 112:
    case 232:
    case 233:
    case 1214:
    case 1231:
    case 1234:
    case 1236:
        return true;
    default:
        return false;
    }
}

int32_t classify(AsyncRead* r, int32_t error, uint64_t bytes) {
    if (error == 0 && bytes > 0) return 0;
    if (error == 0 || ends_data(error)) return r->maximum ? ERROR_BROKEN_PIPE : 0;
    if (error == ERROR_OPERATION_ABORTED || error == ERROR_CANCELLED) {
        if (!__atomic_load_n(&r->cancel_requested, __ATOMIC_ACQUIRE))
            return 0; // cancelled from elsewhere: read again
        return __atomic_load_n(&r->timed_out, __ATOMIC_ACQUIRE) ? ERROR_SEM_TIMEOUT : error;
    }
    if (error == ERROR_NOACCESS && r->maximum > r->done) {
        // Touch the buffer's ends, so a fault shows where it was given.
        volatile uint8_t* base = r->probe_base ? r->probe_base : r->buffer;
        base[r->done] = base[r->done];
        base[r->maximum - 1] = base[r->maximum - 1];
    }
    return error;
}

void read_completed(AsyncIoBlock* io, int32_t error, uint64_t bytes) {
    AsyncRead* r = request_of(io, offsetof(AsyncRead, io));
    __atomic_store_n(&r->completed, 1, __ATOMIC_RELEASE);
    if (error == 0) r->done += bytes;
    detach(r);
    r->result = classify(r, error, bytes);
    release(r);
}

int32_t dos_error(NTSTATUS s) {
    return s == STATUS_SUCCESS ? 0 : static_cast<int32_t>(RtlNtStatusToDosError(s));
}

void NTAPI read_done(void* context, NtIoStatusBlock* status, ULONG) {
    (void)context;
    AsyncIoBlock* io = reinterpret_cast<AsyncIoBlock*>(reinterpret_cast<char*>(status) -
                                                       offsetof(AsyncIoBlock, status));
    if (IssueMarker* m = __atomic_load_n(&io->issuing, __ATOMIC_ACQUIRE)) {
        m->io = nullptr;
        __atomic_store_n(&io->issuing, nullptr, __ATOMIC_RELEASE);
    }
    LARGE_INTEGER zero{};
    while (__atomic_load_n(&status->Status, __ATOMIC_ACQUIRE) == kPending)
        NtDelayExecution(TRUE, &zero);
    io->complete(io, dos_error(status->Status), status->Information);
}

void native_read(HANDLE handle, AsyncIoBlock* io, int64_t offset, void* buffer, uint32_t length) {
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        io->complete(io, ERROR_INVALID_HANDLE, 0);
        return;
    }
    IssueMarker marker{io};
    __atomic_store_n(&io->issuing, &marker, __ATOMIC_RELEASE);
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS s = NtReadFile(handle, nullptr, read_done, &io->status, &io->status, buffer, length,
                            &at, nullptr);
    if (!marker.io) return; // the completion routine has run
    if (s == STATUS_PENDING) {
        __atomic_store_n(&io->issuing, nullptr, __ATOMIC_RELEASE);
        // A cancel that came while the read was being issued.
        if (__atomic_load_n(&io->cancel, __ATOMIC_SEQ_CST)) NtCancelIoFile(handle, &io->status);
        return;
    }
    // A completion routine queued already runs now.
    LARGE_INTEGER zero{};
    NtDelayExecution(TRUE, &zero);
    if (!marker.io) return;
    if (s == STATUS_SUCCESS && __atomic_load_n(&io->status.Status, __ATOMIC_ACQUIRE) != kPending)
        s = io->status.Status;
    __atomic_store_n(&io->issuing, nullptr, __ATOMIC_RELEASE);
    io->complete(io, dos_error(s), s == STATUS_SUCCESS ? io->status.Information : 0);
}

void issue_step(Timer* t) {
    AsyncRead* r = request_of(t, offsetof(AsyncRead, step_timer));
    int32_t (*none)() = nullptr;
    __atomic_compare_exchange_n(&alarm_idle_hook, &none, &async_idle, false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    add_ref(r); // for the read
    if (signal_is_set(&alarm_stop_signal)) {
        request_cancel(r);
        read_completed(&r->io, ERROR_CANCELLED, 0);
    } else if (__atomic_load_n(&r->cancel_requested, __ATOMIC_SEQ_CST)) {
        // Cancelled before this read went out: it ends as a cancelled read.
        read_completed(&r->io, ERROR_OPERATION_ABORTED, 0);
    } else {
        // Each read starts from a clean completion record.
        r->io.status.Status = kPending;
        r->io.status.Information = 0;
        __atomic_store_n(&r->io.cancel, 0, __ATOMIC_SEQ_CST);
        uint64_t left = r->maximum - r->done;
        // Files continue where the last read ended; pipes ignore the offset.
        r->issue(r->handle, &r->io, static_cast<int64_t>(r->done), r->buffer + r->done,
                 left > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(left));
    }
    if (!__atomic_load_n(&r->completed, __ATOMIC_ACQUIRE)) {
        if (r->cancel_signal) {
            add_ref(r);
            if (!signal_add_listener(r->cancel_signal, on_cancel_signal, &r->cancel_listener))
                on_cancel_signal(&r->cancel_listener);
        }
        if (r->deadline != kNoDeadline) {
            add_ref(r);
            if (!alarm_schedule(&r->timeout_timer, on_timeout, r->deadline)) drop_ref(r);
        }
        add_ref(r);
        if (!signal_add_listener(&alarm_stop_signal, on_stop_signal, &r->stop_listener))
            on_stop_signal(&r->stop_listener);
        // A cancel that came while these were armed may have missed them;
        // its cancel step is queued already.
        if (__atomic_load_n(&r->cancel_requested, __ATOMIC_SEQ_CST)) detach(r);
    }
    release(r);
}

} // namespace

int32_t async_idle() {
    return __atomic_load_n(&async_outstanding, __ATOMIC_ACQUIRE) == 0;
}

AsyncRead* async_read_start(HANDLE handle, Signal* cancel, int32_t timeout_ms,
                            AsyncCallback callback, void* user, void* buffer, uint64_t minimum,
                            uint64_t maximum) {
    AsyncRead* r = static_cast<AsyncRead*>(mem_calloc(1, sizeof(AsyncRead)));
    if (!r) {
        callback(user, ERROR_OUTOFMEMORY, 0);
        return nullptr;
    }
    r->references = 1;
    r->io.status.Status = kPending;
    r->io.complete = read_completed;
    __atomic_add_fetch(&async_outstanding, 1, __ATOMIC_ACQ_REL);
    r->handle = handle;
    r->cancel_signal = cancel;
    r->deadline =
        static_cast<uint32_t>(timeout_ms) >= 0x7FFFFFFF ? kNoDeadline : tick_now() + timeout_ms;
    r->buffer = static_cast<uint8_t*>(buffer);
    // More than the buffer holds can never arrive: ask for at most that.
    r->minimum = minimum < maximum ? minimum : maximum;
    r->maximum = maximum;
    r->callback = callback;
    r->user = user;
    r->issue = native_read;
    AsyncRead* request = r; // may be gone once scheduled
    if (!alarm_schedule(&r->step_timer, issue_step, 0)) issue_step(&r->step_timer);
    return request;
}

// May come from any thread, holding no reference, up to the moment the
// callback returns. The first call claims the cancel; it then goes on only
// while the request holds a reference (so has not reached its outcome), and
// that reference, its own, keeps the record alive through the detach and
// goes with the cancel step, which releases it on the alarm thread. So the
// outcome is never reported from inside this call (its caller may hold a
// lock the callback takes), unless the alarm module has stopped.
void async_read_cancel(AsyncRead* r) {
    int32_t clear = 0;
    if (!__atomic_compare_exchange_n(&r->cancel_requested, &clear, 1, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return;
    if (!add_ref_unless_done(r)) return;
    detach(r);
    if (!alarm_schedule(&r->cancel_timer, cancel_step, 0)) release(r);
}

// --- the signal pipe reader ------------------------------------------------------------

namespace {

struct PipeRead {
    SignalPipeReader* reader;
    FileHandle handle;
    uint8_t byte;
};

void reader_release(SignalPipeReader* reader) {
    if (__atomic_sub_fetch(&reader->references, 1, __ATOMIC_ACQ_REL) != 0) return;
    if (reader->attached) reader->attached->release(reader->attached);
    mem_free(reader);
}

void reader_add_ref(SignalPipeReader* reader) {
    __atomic_add_fetch(&reader->references, 1, __ATOMIC_ACQ_REL);
}

void reader_release_second(void* second) {
    reader_release(reinterpret_cast<SignalPipeReader*>(static_cast<char*>(second) -
                                                       offsetof(SignalPipeReader, second)));
}

void reader_close(SignalPipeReader* reader) {
    if (signal_remove_listener(signal_number(5), &reader->shutdown_listener))
        reader_release(reader);
    if (reader->attached) reader->attached->stop(reader->attached);
    while (__atomic_load_n(&reader->references, __ATOMIC_ACQUIRE) > 1) sleep_ms(20);
}

void act_on_byte(uint8_t b) {
    switch (b) {
    case 2:
        signal_set(signal_number(2));
        signal_reset(signal_number(3));
        break;
    case 3:
        signal_set(signal_number(3));
        signal_reset(signal_number(2));
        break;
    case 4:
        signal_reset(signal_number(4));
        break;
    default:
        // Above 20 this is the constant set entry, 0 the constant clear one.
        signal_set(signal_number(b));
        break;
    }
}

void byte_read(void* user, int32_t result, uint64_t bytes) {
    PipeRead* p = static_cast<PipeRead*>(user);
    if (result == 0 && bytes == 1) act_on_byte(p->byte);
    file_close(p->handle);
    SignalPipeReader* reader = p->reader;
    mem_free(p);
    reader_release(reader);
}

bool reader_start(SignalPipeReader* reader, HANDLE* handle) {
    HANDLE h = *handle;
    *handle = INVALID_HANDLE_VALUE;
    PipeRead* p = static_cast<PipeRead*>(mem_calloc(1, sizeof(PipeRead)));
    if (!p) {
        file_close(from_native(h));
        return false;
    }
    p->reader = reader;
    p->handle = from_native(h);
    reader_add_ref(reader); // held by the read until its callback
    async_read_start(h, nullptr, 5000, byte_read, p, &p->byte, 1, 1);
    return true;
}

// Process signal 5: the listener's reference goes.
void reader_on_shutdown(SignalListener* l) {
    reader_release(reinterpret_cast<SignalPipeReader*>(
        reinterpret_cast<char*>(l) - offsetof(SignalPipeReader, shutdown_listener)));
}

const SignalPipeReaderOps kReaderOps = {reader_release, reader_close, reader_add_ref,
                                        reader_release_second, reader_start};

} // namespace

SignalPipeReader* signal_pipe_reader_new() {
    SignalPipeReader* reader =
        static_cast<SignalPipeReader*>(mem_calloc(1, sizeof(SignalPipeReader)));
    if (!reader) return nullptr;
    reader->ops = &kReaderOps;
    reader->second = &kReaderOps;
    reader->references = 2; // the caller's and the listener's
    if (!signal_add_listener(signal_number(5), reader_on_shutdown, &reader->shutdown_listener))
        reader->references = 1;
    return reader;
}
