// The converted text of one file, collected in a linked list of fixed-size
// blocks so that no byte is ever moved once stored.
#pragma once

#include "base/types.h"

#include <cstdint>
#include <cstring>

constexpr uint64_t CHUNK_DATA_SIZE = 50000;

struct ChunkBlock {
    ChunkBlock* next; // null for the last block
    uint64_t filled;  // 0 .. CHUNK_DATA_SIZE
    unsigned char data[CHUNK_DATA_SIZE];
};
static_assert(sizeof(ChunkBlock) == 50016);

struct ChunkBuffer {
    uint32_t failure; // 0, or 14 after the first failed allocation; never reset
    ChunkBlock* first;
    ChunkBlock* last;     // receives the next byte; null only when the first block failed
    uint64_t before_last; // bytes held in the blocks before `last`
    uint64_t* budget; // bytes of blocks still allowed, shared with other buffers; null: no limit
};

// The first block is taken at once. With a budget, every block taken counts
// against it, and a block that would overdraw it fails like a failed allocation.
void chunks_create(ChunkBuffer* c, uint64_t* budget = nullptr);
// Blocks go back to a cache that the next buffers take from first.
void chunks_release(ChunkBuffer* c);
// Bytes of blocks waiting in the cache, and returning them all to the heap.
uint64_t chunks_cached_bytes();
void chunks_cache_release();
// Appends a byte to a new block; on failure sets the code and drops the byte.
void chunks_put_slow(ChunkBuffer* c, unsigned char byte);
// Appends n bytes: the same as n calls of chunks_put, with the copying done in
// runs. After a failed allocation the rest of the run is dropped.
void chunks_put_run_slow(ChunkBuffer* c, const unsigned char* bytes, uint64_t n);
inline void chunks_put_run(ChunkBuffer* c, const unsigned char* bytes, uint64_t n) {
    ChunkBlock* b = c->last;
    if (b && CHUNK_DATA_SIZE - b->filled >= n) {
        memcpy(b->data + b->filled, bytes, n);
        b->filled += n;
        return;
    }
    chunks_put_run_slow(c, bytes, n);
}

inline void chunks_put(ChunkBuffer* c, unsigned char byte) {
    ChunkBlock* b = c->last;
    if (b && b->filled < CHUNK_DATA_SIZE) {
        b->data[b->filled++] = byte;
        return;
    }
    chunks_put_slow(c, byte);
}

// Total bytes held (what a walk of the blocks would write).
inline uint64_t chunks_length(const ChunkBuffer* c) {
    return c->last ? c->before_last + c->last->filled : 0;
}
