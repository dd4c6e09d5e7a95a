// Synchronous reads and writes through a handle, in steps of at most 16 MiB,
// with end-of-data codes sorted from real failures.
#pragma once

#include "base/types.h"

constexpr uint64_t TRANSFER_STEP_MAX = 0x1000000;

struct TransferRequest;
using TransferOp = ErrorCode (*)(TransferRequest* req, uint32_t size, uint32_t* moved);

struct TransferRequest {
    FileHandle handle;
    TransferOp op; // one step: ReadFile or WriteFile
    unsigned char* cursor;
    uint64_t moved;
    uint64_t maximum;
    uint64_t minimum;
    ErrorCode end_code;
    uint64_t offset; // with `positioned`: where the transfer starts in the file
    bool positioned;
};

ErrorCode transfer_run(TransferRequest* req, uint64_t minimum, uint64_t maximum, uint64_t* count);
ErrorCode transfer_step(TransferRequest* req, uint64_t size, uint32_t* moved);
ErrorCode handle_read(FileHandle h, void* buf, uint64_t capacity, uint64_t* count);
ErrorCode handle_write(FileHandle h, const void* buf, uint64_t length, uint64_t* count);
// Exactly n bytes at a file offset: ERROR_HANDLE_EOF when fewer came in (the
// file was cut meanwhile), ERROR_DISK_FULL when fewer went out.
ErrorCode handle_read_at(FileHandle h, uint64_t offset, void* buf, uint64_t n);
ErrorCode handle_write_at(FileHandle h, uint64_t offset, const void* buf, uint64_t n);
