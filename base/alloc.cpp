#include "base/alloc.h"

#include "platform/nt.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#ifdef EOLSET_TEST_HOOKS
#include "base/test_control.h"

namespace {
std::atomic<uint64_t> g_mem_calls{0};
std::atomic<uint64_t> g_mem_fail_at{0}; // absolute call number, 0 = never
std::atomic<bool> g_mem_fail_sticky{false};
std::atomic<uint64_t> g_mem_available_override{~0ull};

bool mem_should_fail() {
    uint64_t call = g_mem_calls.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t at = g_mem_fail_at.load(std::memory_order_relaxed);
    if (at == 0) return false;
    return call == at || (call > at && g_mem_fail_sticky.load(std::memory_order_relaxed));
}
} // namespace

void mem_set_available(uint64_t bytes) {
    g_mem_available_override.store(bytes, std::memory_order_relaxed);
}
void mem_fail_at(uint64_t n, bool sticky) {
    g_mem_fail_sticky.store(sticky);
    g_mem_fail_at.store(n == 0 ? 0 : g_mem_calls.load() + n);
}
uint64_t mem_call_count() {
    return g_mem_calls.load();
}
#else
namespace {
inline bool mem_should_fail() {
    return false;
}
} // namespace
#endif

void* mem_malloc(size_t size) {
    return mem_should_fail() ? nullptr : malloc(size);
}
void* mem_calloc(size_t count, size_t size) {
    return mem_should_fail() ? nullptr : calloc(count, size);
}
void mem_free(void* p) {
    free(p);
}

uint64_t mem_available() {
#ifdef EOLSET_TEST_HOOKS
    uint64_t forced = g_mem_available_override.load(std::memory_order_relaxed);
    if (forced != ~0ull) return forced;
#endif
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return ~0ull;
    // What can still be committed; on Linux (and in a container) the free
    // memory, which is the same figure.
    uint64_t room = status.ullAvailPageFile;
    if (status.ullAvailVirtual < room) room = status.ullAvailVirtual;
    return room;
}

// --- arena ------------------------------------------------------------------

static const AllocatorOps kArenaOps = {arena_allocate};
static const AllocatorOps kHeapOps = {heap_allocate};

void arena_init(ArenaAllocator* arena) {
    arena->base.ops = &kArenaOps;
    arena->current = nullptr;
    arena->failures = 0;
    arena->total = 0;
}

void* arena_allocate(Allocator* self, uint64_t size) {
    ArenaAllocator* arena = reinterpret_cast<ArenaAllocator*>(self);
    uint32_t n = (static_cast<uint32_t>(size) + 15u) & ~15u;
    ArenaBlock* cur = arena->current;
    unsigned char* p;
    if (cur && cur->free >= n) {
        p = reinterpret_cast<unsigned char*>(cur) - cur->free;
        cur->free -= n;
    } else {
        uint64_t reserve = 2ull * static_cast<uint32_t>(arena->total + n) + 256;
        if (reserve > ARENA_RESERVE_MAX) reserve = ARENA_RESERVE_MAX;
        if ((cur && cur->free >= ARENA_LARGE) || n > ARENA_LARGE) reserve = 0;
        unsigned char* start =
            static_cast<unsigned char*>(mem_malloc(n + sizeof(ArenaBlock) + reserve));
        if (!start) {
            ++arena->failures;
            return nullptr;
        }
        ArenaBlock* block = reinterpret_cast<ArenaBlock*>(start + n + reserve);
        block->start = start;
        block->free = reserve;
        if (cur && cur->free > reserve) {
            block->next = cur->next;
            cur->next = block;
        } else {
            block->next = cur;
            arena->current = block;
        }
        p = start;
    }
    memset(p, 0, size);
    arena->total += n;
    return p;
}

void arena_release(ArenaAllocator* arena) {
    ArenaBlock* b = arena->current;
    while (b) {
        ArenaBlock* next = b->next;
        mem_free(b->start);
        b = next;
    }
    arena->current = nullptr;
    arena->total = 0;
}

// --- heap -------------------------------------------------------------------

void heap_init(HeapAllocator* heap) {
    heap->base.ops = &kHeapOps;
}

void* heap_allocate(Allocator*, uint64_t size) {
    return mem_calloc(size, 1);
}

Allocator* heap_allocator() {
    static HeapAllocator s_heap = {{&kHeapOps}};
    return &s_heap.base;
}
