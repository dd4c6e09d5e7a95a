// Byte-at-a-time reading of an open file with a look-ahead of two bytes, from
// a fixed buffer refilled through handle_read.
#pragma once

#include "base/types.h"

#include <cstdint>

// The slice the conversion engine reads a file in.
constexpr uint64_t READER_SLICE = 10000;

// Returned by reader_next when no byte is left.
constexpr int READER_END = -1;

struct LookAheadReader {
    FileHandle handle; // not owned: never closed or positioned here
    unsigned char* buffer;
    uint64_t capacity;
    uint64_t filled;   // valid bytes at the front of the buffer
    uint64_t position; // next unread byte; position <= filled <= capacity
    uint8_t end;       // a read has transferred nothing (or failed); never cleared
    // Added to tell a failed read from the end of the file: the first error a
    // read reported (14 when the buffer could not be allocated), else 0.
    ErrorCode error;
    uint64_t total_read; // bytes transferred by all reads so far
    // Reads stop once this many bytes came in: a file is judged on the
    // length it had when it was opened. All-ones (the default) reads to the end.
    uint64_t limit;
};

void reader_create(LookAheadReader* r, FileHandle handle, uint64_t capacity);
void reader_release(LookAheadReader* r);
// Moves the unread bytes to the front and reads behind them; true when no
// unread byte is left afterwards.
bool reader_refill(LookAheadReader* r);

// The next byte, or READER_END. A zero byte is data like any other.
inline int reader_next(LookAheadReader* r) {
    if (r->position < r->filled) return r->buffer[r->position++];
    if (reader_refill(r)) return READER_END;
    return r->buffer[r->position++];
}

// The byte at position + offset without consuming it; 0 past the end of the data.
inline unsigned char reader_peek(LookAheadReader* r, uint64_t offset) {
    if (r->position + offset < r->filled) return r->buffer[r->position + offset];
    reader_refill(r);
    return offset < r->filled ? r->buffer[offset] : 0;
}

// Only for bytes just seen with reader_peek: no bound check.
inline void reader_skip(LookAheadReader* r, uint64_t count) {
    r->position += count;
}
