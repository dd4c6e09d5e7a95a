// Asynchronous reads, run by the alarm thread: a read into a buffer until at
// least a minimum has arrived, the data ends, an error occurs, it is
// cancelled, its time-out expires, or the alarm module stops. Every step is
// a timer due at 0 on the alarm thread, and the read itself is an overlapped
// native read whose completion the alarm thread takes in its alertable wait.
// The requester hears of the outcome once, through its completion callback.
#pragma once

#include "base/runtime/signal.h"
#include "base/runtime/timertree.h"
#include "platform/nt.h"

#include <cstdint>

// result: a Win32 error code (0, 109 when the data ended before the
// minimum, 121 on time-out, 995 or 1223 when cancelled, 14 when the request
// could not be made, or the read's own error); bytes: bytes read.
using AsyncCallback = void (*)(void* user, int32_t result, uint64_t bytes);

struct AsyncIoBlock;
struct IssueMarker; // lives on the issuing thread's stack

// The completion record of one native read.
struct AsyncIoBlock {
    void (*complete)(AsyncIoBlock* io, int32_t error, uint64_t bytes);
    NtIoStatusBlock status; // Status -1 while the read is pending
    IssueMarker* issuing;   // non-null while the read call is being issued
    int32_t cancel;
};

struct AsyncRead {
    Timer step_timer;
    Timer cancel_timer;
    SignalListener cancel_listener;
    Timer timeout_timer;
    SignalListener stop_listener;
    AsyncIoBlock io;
    int32_t references;
    AsyncCallback callback;
    void* user;
    void (*issue)(HANDLE handle, AsyncIoBlock* io, int64_t offset, void* buffer, uint32_t length);
    HANDLE handle;
    Signal* cancel_signal;
    uint64_t deadline; // all ones: none
    uint8_t* buffer;
    uint8_t* probe_base; // null: the buffer
    uint64_t minimum;
    uint64_t maximum;
    uint64_t done;
    int32_t result;
    uint8_t completed;
    uint8_t timed_out;
    int32_t cancel_requested;
};

// Requests created and not yet completed, process-wide.
extern int32_t async_outstanding;

// Starts a read of at least `minimum` and at most `maximum` bytes. A
// time-out (ms) of 0x7FFFFFFF or more as unsigned means none. The handle,
// the buffer and the cancel signal must stay valid until the callback has
// run. Returns the request (for async_read_cancel until the callback), or
// null when it could not be made: the callback has then run with 14.
AsyncRead* async_read_start(HANDLE handle, Signal* cancel, int32_t timeout_ms,
                            AsyncCallback callback, void* user, void* buffer, uint64_t minimum,
                            uint64_t maximum);
// Asks for cancellation; idempotent. Any thread may call it until the
// callback has returned: once the outcome is reached it does nothing, and
// it never runs the callback itself (unless the alarm module has stopped),
// so its caller may hold a lock that the callback takes.
void async_read_cancel(AsyncRead* request);
// The alarm module's idle hook: non-zero when no request is outstanding.
int32_t async_idle();

// Reads one byte from a pipe and turns it into process signals.
struct SignalPipeReader;
// An object a reader may hold; it is asked to stop when the reader closes
// and to release itself when the reader goes.
struct PipeAttachment {
    void (*stop)(PipeAttachment* self);
    void (*release)(PipeAttachment* self);
};
// Slot order is fixed: release, close, add a reference, release through the
// second interface, start.
struct SignalPipeReaderOps {
    void (*release)(SignalPipeReader* reader);
    void (*close)(SignalPipeReader* reader);
    void (*add_ref)(SignalPipeReader* reader);
    void (*release_second)(void* second);
    // Takes the handle (the caller's copy becomes all ones) and reads one
    // byte from it; false when no read could be started.
    bool (*start)(SignalPipeReader* reader, HANDLE* handle);
};
struct SignalPipeReader {
    const SignalPipeReaderOps* ops;
    const SignalPipeReaderOps* second; // the second interface
    int32_t references;
    PipeAttachment* attached;
    SignalListener shutdown_listener; // on process signal 5
};
// A reader with one reference (the caller's), listening on process signal 5;
// null when out of memory.
SignalPipeReader* signal_pipe_reader_new();
