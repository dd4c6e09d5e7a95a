#include "app/chunks.h"

#include "base/alloc.h"

#include <cstring>

namespace {

// Released blocks wait here for the next file, so that a run over many
// files does not take and return the same memory for each. The converter
// runs on one thread; so does everything that uses this cache.
constexpr uint64_t kCacheMax = 64u << 20;
ChunkBlock* g_cache;
uint64_t g_cached;

ChunkBlock* new_block(uint64_t* budget) {
    if (budget) {
        if (*budget < sizeof(ChunkBlock)) return nullptr;
        *budget -= sizeof(ChunkBlock);
    }
    ChunkBlock* b = g_cache;
    if (b) {
        g_cache = b->next;
        g_cached -= sizeof(ChunkBlock);
    } else {
        b = static_cast<ChunkBlock*>(mem_malloc(sizeof(ChunkBlock)));
        if (!b) {
            if (budget) *budget += sizeof(ChunkBlock);
            return nullptr;
        }
    }
    b->next = nullptr;
    b->filled = 0;
    return b;
}

// Links a fresh block behind the last one; false (and the code set) on failure.
bool chunks_grow(ChunkBuffer* c) {
    ChunkBlock* b = new_block(c->budget);
    if (!b) {
        c->failure = ERR_OUT_OF_MEMORY;
        return false;
    }
    c->before_last += c->last->filled;
    c->last->next = b;
    c->last = b;
    return true;
}

} // namespace

void chunks_create(ChunkBuffer* c, uint64_t* budget) {
    c->failure = 0;
    c->before_last = 0;
    c->budget = budget;
    c->first = new_block(budget);
    c->last = c->first;
    if (!c->first) c->failure = ERR_OUT_OF_MEMORY;
}

void chunks_release(ChunkBuffer* c) {
    while (c->first) {
        ChunkBlock* b = c->first;
        c->first = b->next;
        if (c->budget) *c->budget += sizeof(ChunkBlock);
        if (g_cached + sizeof(ChunkBlock) <= kCacheMax) {
            b->next = g_cache;
            g_cache = b;
            g_cached += sizeof(ChunkBlock);
        } else {
            mem_free(b);
        }
    }
    c->last = nullptr;
    c->before_last = 0;
}

uint64_t chunks_cached_bytes() {
    return g_cached;
}

void chunks_cache_release() {
    while (g_cache) {
        ChunkBlock* b = g_cache;
        g_cache = b->next;
        mem_free(b);
    }
    g_cached = 0;
}

void chunks_put_slow(ChunkBuffer* c, unsigned char byte) {
    if (!c->last) return; // the first block never came: appends do nothing
    if (c->last->filled >= CHUNK_DATA_SIZE && !chunks_grow(c)) return;
    ChunkBlock* b = c->last;
    b->data[b->filled++] = byte;
}

void chunks_put_run_slow(ChunkBuffer* c, const unsigned char* bytes, uint64_t n) {
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
