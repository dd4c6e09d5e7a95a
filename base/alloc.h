// Allocators: the arena for short-lived strings and records, the plain heap
// allocator for values that outlive their caller, and the one seam through
// which all heap memory of the program passes.
#pragma once

#include <cstddef>
#include <cstdint>

// --- heap seam ----------------------------------------------------------------
void* mem_malloc(size_t size);
void* mem_calloc(size_t count, size_t size);
void mem_free(void* p);

// Bytes the process may still take: what the system (or the container the
// process runs in) has free. All-ones when it cannot be told.
uint64_t mem_available();

// --- allocator interface ------------------------------------------------------
struct Allocator;
struct AllocatorOps {
    void* (*allocate)(Allocator* self, uint64_t size);
};
struct Allocator {
    const AllocatorOps* ops;
};

inline void* allocate(Allocator* a, uint64_t size) {
    return a->ops->allocate(a, size);
}

// Header at the end of every arena block.
struct ArenaBlock {
    ArenaBlock* next;
    void* start;   // the heap allocation this header ends
    uint64_t free; // free bytes just below this header
};
static_assert(sizeof(ArenaBlock) == 24);

struct ArenaAllocator {
    Allocator base;
    ArenaBlock* current;
    uint32_t failures;
    uint32_t total; // rounded bytes handed out since creation or release
};

constexpr uint32_t ARENA_RESERVE_MAX = 130560;
constexpr uint32_t ARENA_LARGE = 65280;

void arena_init(ArenaAllocator* arena);
void* arena_allocate(Allocator* self, uint64_t size);
void arena_release(ArenaAllocator* arena);
inline Allocator* arena_base(ArenaAllocator* arena) {
    return &arena->base;
}

struct HeapAllocator {
    Allocator base;
};
void heap_init(HeapAllocator* heap);
void* heap_allocate(Allocator* self, uint64_t size);
// A process-wide heap allocator for callers that need one.
Allocator* heap_allocator();
