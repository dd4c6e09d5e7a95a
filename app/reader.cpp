#include "app/reader.h"

#include "base/alloc.h"
#include "base/transfer.h"

#include <cstring>

void reader_create(LookAheadReader* r, FileHandle handle, uint64_t capacity) {
    r->handle = handle;
    r->capacity = capacity;
    r->filled = 0;
    r->position = 0;
    r->end = 0;
    r->error = 0;
    r->total_read = 0;
    r->limit = ~0ull;
    r->buffer = static_cast<unsigned char*>(mem_malloc(capacity));
    if (!r->buffer) {
        // Nothing can be read: report the end at once, and why.
        r->end = 1;
        r->error = ERR_OUT_OF_MEMORY;
    }
}

void reader_release(LookAheadReader* r) {
    mem_free(r->buffer);
    r->buffer = nullptr;
    r->capacity = 0;
    r->filled = 0;
    r->position = 0;
}

bool reader_refill(LookAheadReader* r) {
    if (r->position > 0) {
        uint64_t unread = r->filled - r->position;
        if (unread) memmove(r->buffer, r->buffer + r->position, unread);
        r->filled = unread;
        r->position = 0;
    }
    if (!r->end && r->total_read >= r->limit) r->end = 1;
    if (!r->end && r->filled < r->capacity) {
        uint64_t want = r->capacity - r->filled;
        if (want > r->limit - r->total_read) want = r->limit - r->total_read;
        uint64_t got = 0;
        ErrorCode e = handle_read(r->handle, r->buffer + r->filled, want, &got);
        r->filled += got;
        r->total_read += got;
        if (e != 0) {
            // A real failure, not the end of the file: stop here and keep the code.
            r->end = 1;
            if (!r->error) r->error = e;
        } else if (got == 0) {
            r->end = 1;
        }
    }
    return r->position == r->filled;
}
