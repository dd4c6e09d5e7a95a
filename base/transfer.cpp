// The one loop through which every read and write of a handle passes.
#include "base/transfer.h"

#include "base/native.h"
#ifdef EOLSET_TEST_HOOKS
#include "base/test_control.h"
#endif

namespace {

// A step of a positioned transfer names its offset: on a synchronous
// handle the system moves no pointer first, in the same call.
OVERLAPPED* step_offset(TransferRequest* req, OVERLAPPED* at) {
    if (!req->positioned) return nullptr;
    *at = OVERLAPPED{};
    uint64_t offset = req->offset + req->moved;
    at->Offset = static_cast<DWORD>(offset);
    at->OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

ErrorCode step_read(TransferRequest* req, uint32_t size, uint32_t* moved) {
    DWORD got = 0;
    OVERLAPPED at;
    BOOL ok = ReadFile(to_native(req->handle), req->cursor, size, &got, step_offset(req, &at));
    *moved = got;
    return ok ? 0 : static_cast<ErrorCode>(GetLastError());
}

ErrorCode step_write(TransferRequest* req, uint32_t size, uint32_t* moved) {
    DWORD put = 0;
    OVERLAPPED at;
    BOOL ok = WriteFile(to_native(req->handle), req->cursor, size, &put, step_offset(req, &at));
    *moved = put;
    return ok ? 0 : static_cast<ErrorCode>(GetLastError());
}

enum class StepKind { Moved, EndOfData, Aborted, Failed };

// Sorts a step's result: the end of a stream is not an error, only a short count.
StepKind sort_step(ErrorCode e, ErrorCode* end_code) {
    switch (e) {
    case 0:
        *end_code = ERROR_BROKEN_PIPE;
        return StepKind::Moved;
    case ERROR_HANDLE_EOF:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
        *end_code = e;
        return StepKind::EndOfData;
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NETNAME_DELETED:
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_CONNECTION_ABORTED:
        *end_code = ERROR_BROKEN_PIPE;
        return StepKind::EndOfData;
    case ERROR_OPERATION_ABORTED:
        return StepKind::Aborted;
    default:
        return StepKind::Failed;
    }
}

} // namespace

ErrorCode transfer_step(TransferRequest* req, uint64_t size, uint32_t* moved) {
    *moved = 0;
    return req->op(req, static_cast<uint32_t>(size), moved);
}

ErrorCode transfer_run(TransferRequest* req, uint64_t minimum, uint64_t maximum, uint64_t* count) {
    req->minimum = minimum;
    req->maximum = maximum;
    ErrorCode error = 0;
    if (req->handle == INVALID_FILE_HANDLE) {
        error = ERR_INVALID_HANDLE;
    } else {
        for (;;) {
            uint64_t left = req->maximum - req->moved;
            uint64_t size = left < TRANSFER_STEP_MAX ? left : TRANSFER_STEP_MAX;
            uint32_t moved = 0;
            ErrorCode e = transfer_step(req, size, &moved);
            StepKind kind = sort_step(e, &req->end_code);
            if (kind == StepKind::Failed) {
                error = e;
                break;
            }
            if (kind == StepKind::Moved) {
                req->moved += moved;
                if (moved != 0) req->cursor += moved;
            } else {
                moved = 0;
            }
            if (req->moved >= req->maximum) break;
            if (moved == TRANSFER_STEP_MAX) continue;
            if (moved == 0 && kind != StepKind::Aborted) break;
            if (req->moved < req->minimum) continue;
            break;
        }
        if (error == 0 && req->moved < req->minimum) error = req->end_code;
    }
    if (count) *count = req->moved;
    return error;
}

ErrorCode handle_read(FileHandle h, void* buf, uint64_t capacity, uint64_t* count) {
    TransferRequest req{};
    req.handle = h;
    req.op = step_read;
    req.cursor = static_cast<unsigned char*>(buf);
    req.end_code = ERR_BROKEN_PIPE;
    return transfer_run(&req, 0, capacity, count);
}

ErrorCode handle_write(FileHandle h, const void* buf, uint64_t length, uint64_t* count) {
    TransferRequest req{};
    req.handle = h;
    req.op = step_write;
    // The cursor is shared with reads; a write step never stores through it.
    req.cursor = static_cast<unsigned char*>(const_cast<void*>(buf));
    req.end_code = ERR_BROKEN_PIPE;
    return transfer_run(&req, length != 0 ? 1 : 0, length, count);
}

ErrorCode handle_read_at(FileHandle h, uint64_t offset, void* buf, uint64_t n) {
    TransferRequest req{};
    req.handle = h;
    req.op = step_read;
    req.cursor = static_cast<unsigned char*>(buf);
    req.end_code = ERROR_HANDLE_EOF;
    req.offset = offset;
    req.positioned = true;
    uint64_t got = 0;
    ErrorCode e = transfer_run(&req, 0, n, &got);
    return e == 0 && got != n ? ERROR_HANDLE_EOF : e;
}

namespace {
ErrorCode write_at(FileHandle h, uint64_t offset, const void* buf, uint64_t n) {
    TransferRequest req{};
    req.handle = h;
    req.op = step_write;
    req.cursor = static_cast<unsigned char*>(const_cast<void*>(buf));
    req.end_code = ERROR_DISK_FULL;
    req.offset = offset;
    req.positioned = true;
    uint64_t moved = 0;
    ErrorCode e = transfer_run(&req, n != 0 ? 1 : 0, n, &moved);
    return e == 0 && moved != n ? ERROR_DISK_FULL : e;
}
} // namespace

ErrorCode handle_write_at(FileHandle h, uint64_t offset, const void* buf, uint64_t n) {
#ifdef EOLSET_TEST_HOOKS
    uint64_t tear = 0;
    if (!native_change_allowed(n, &tear)) {
        if (tear) write_at(h, offset, buf, tear);
        return ERROR_DISK_FULL;
    }
#endif
    return write_at(h, offset, buf, n);
}
