#include "app/chunks.h"

#include "base/alloc.h"

#include <cstring>

namespace {

ChunkBlock* new_block() {
    ChunkBlock* b = static_cast<ChunkBlock*>(mem_malloc(sizeof(ChunkBlock)));
    if (b) {
        b->next = nullptr;
        b->filled = 0;
    }
    return b;
}

// Links a fresh block behind the last one; false (and the code set) on failure.
bool chunks_grow(ChunkBuffer* c) {
    ChunkBlock* b = new_block();
    if (!b) {
        c->failure = ERR_OUT_OF_MEMORY;
        return false;
    }
    c->last->next = b;
    c->last = b;
    return true;
}

} // namespace

void chunks_create(ChunkBuffer* c) {
    c->failure = 0;
    c->first = new_block();
    c->last = c->first;
    if (!c->first) c->failure = ERR_OUT_OF_MEMORY;
}

void chunks_release(ChunkBuffer* c) {
    while (c->first) {
        ChunkBlock* b = c->first;
        c->first = b->next;
        mem_free(b);
    }
    c->last = nullptr;
}

void chunks_put_slow(ChunkBuffer* c, unsigned char byte) {
    if (!c->last) return; // the first block never came: appends do nothing
    if (c->last->filled >= CHUNK_DATA_SIZE && !chunks_grow(c)) return;
    ChunkBlock* b = c->last;
    b->data[b->filled++] = byte;
}

void chunks_put_run(ChunkBuffer* c, const unsigned char* bytes, uint64_t n) {
    ChunkBlock* b = c->last;
    if (!b) return;
    while (n) {
        uint64_t room = CHUNK_DATA_SIZE - b->filled;
        if (room == 0) {
            // The text has a gap from here on and will not be written; its
            // remaining bytes need not be kept.
            if (!chunks_grow(c)) return;
            b = c->last;
            room = CHUNK_DATA_SIZE;
        }
        uint64_t k = n < room ? n : room;
        memcpy(b->data + b->filled, bytes, k);
        b->filled += k;
        bytes += k;
        n -= k;
    }
}

uint64_t chunks_length(const ChunkBuffer* c) {
    uint64_t total = 0;
    for (const ChunkBlock* b = c->first; b; b = b->next) total += b->filled;
    return total;
}
