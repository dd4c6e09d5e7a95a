// The converted text of one file, collected in a linked list of fixed-size
// blocks so that no byte is ever moved once stored.
#pragma once

#include "base/types.h"

#include <cstdint>

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
    ChunkBlock* last; // receives the next byte; null only when the first block failed
};

void chunks_create(ChunkBuffer* c);
void chunks_release(ChunkBuffer* c);
// Appends a byte to a new block; on failure sets the code and drops the byte.
void chunks_put_slow(ChunkBuffer* c, unsigned char byte);
// Appends n bytes: the same as n calls of chunks_put, with the copying done in
// runs. After a failed allocation the rest of the run is dropped.
void chunks_put_run(ChunkBuffer* c, const unsigned char* bytes, uint64_t n);

inline void chunks_put(ChunkBuffer* c, unsigned char byte) {
    ChunkBlock* b = c->last;
    if (b && b->filled < CHUNK_DATA_SIZE) {
        b->data[b->filled++] = byte;
        return;
    }
    chunks_put_slow(c, byte);
}

// Total bytes held (what a walk of the blocks would write).
uint64_t chunks_length(const ChunkBuffer* c);
