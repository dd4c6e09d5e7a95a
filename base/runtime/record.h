// The runtime record, its memory and its pooled wait nodes, shared by the
// lock, signal and thread modules. Callers of the runtime use runtime.h,
// lock.h, semaphore.h and signal.h.
#pragma once

#include "base/runtime/listener.h"
#include "platform/nt.h"

#include <cstdint>

// One thread started by the runtime, in the registry until it is joined.
struct ThreadRecord {
    ThreadRecord* next;
    void (*entry)(void* argument);
    void* argument;
    void (*finish_hook)(void* value);
    void* hook_value;
    HANDLE handle;          // null until CreateThread has returned
    int32_t finished_epoch; // 0 while the thread's work is unfinished
};

// A full memory barrier. ThreadSanitizer does not model fences, so under it
// a sequentially consistent read-modify-write stands in.
inline void full_barrier() {
#if defined(__SANITIZE_THREAD__)
    static uint32_t s_barrier;
    __atomic_fetch_add(&s_barrier, 0, __ATOMIC_SEQ_CST);
#else
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#endif
}

// A kernel notification event, pooled between threads and never freed
// until the runtime is torn down.
struct WaitNode {
    SignalListener listener; // registered while the node is armed on a signal
    HANDLE event;
    uint8_t armed;
    uint8_t fired;
    WaitNode* pool_next;
};

// One free list of nodes behind a ticket spin lock, on its own cache line.
struct alignas(64) NodePool {
    uint64_t holder; // thread id of the holder of the spin lock, 0 when free
    uint64_t ticket; // bits 20..30 next ticket, bits 8..18 ticket served
    WaitNode* free_list;
};
static_assert(sizeof(NodePool) == 64);

constexpr uint32_t NODE_POOL_COUNT = 32;
constexpr uint64_t RUNTIME_BLOCK_SIZE = 2256;

struct RuntimeRecord {
    NodePool pools[NODE_POOL_COUNT];
    void* block;         // the allocation the record was carved from
    uint64_t block_size; // 2256
    // The thread registry (guarded by `registry_lock`).
    int32_t record_count;
    int32_t finished_count;
    int32_t epoch;
    ThreadRecord* threads;
    CRITICAL_SECTION registry_lock;
};
static_assert(sizeof(RuntimeRecord) + 63 <= RUNTIME_BLOCK_SIZE);

extern RuntimeRecord* g_runtime_record;

// The published record, or null before runtime_init and after teardown.
inline RuntimeRecord* runtime_record() {
    return __atomic_load_n(&g_runtime_record, __ATOMIC_ACQUIRE);
}
RuntimeRecord* runtime_ensure_slow();
// The record, made first unless it was made before (and torn down since).
inline RuntimeRecord* runtime_ensure() {
    RuntimeRecord* r = runtime_record();
    return r ? r : runtime_ensure_slow();
}

// Makes and publishes a record unless one is published; false when none
// exists afterwards. The exit handlers are runtime_init's to register.
bool record_publish();
// True once after each publication: the caller registers the exit handlers.
bool record_take_exit_handlers_due();
// Unpublishes the record, then frees its pooled nodes and its memory.
void record_unpublish_and_free(RuntimeRecord* r);

// Memory for the runtime: heap below 4096 bytes, committed pages from 4096 on.
void* block_alloc(uint64_t size);
void block_free(void* block, uint64_t size);

// Thomas Wang's 64-bit integer hash: spreads thread ids and addresses.
uint64_t thread_hash(uint64_t x);

// The calling thread's pool, and its spin lock.
NodePool* thread_pool();
void pool_lock(NodePool* pool);
void pool_unlock(NodePool* pool);

// A node from `pool`, or a new one with a fresh event; null when none can be had.
WaitNode* node_take_from(NodePool* pool);
// Puts a node back on a pool's free list, its event cleared.
void node_return(NodePool* pool, WaitNode* node);
