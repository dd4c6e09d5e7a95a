#include "base/runtime/record.h"

#include "base/alloc.h"

#include <cstring>
#include <new>

RuntimeRecord* g_runtime_record = nullptr;

namespace {

uint8_t g_published_once = 0;    // set once a record was published; never cleared
uint8_t g_exit_handlers_due = 0; // set at each publication, taken by runtime_init

uint64_t self_id() {
    return GetCurrentThreadId();
}

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void free_node(WaitNode* n) {
    NtClose(n->event);
    block_free(n, sizeof(WaitNode));
}

} // namespace

// --- the record and its memory -----------------------------------------------------------------

bool record_publish() {
    if (runtime_record()) return true;
    void* block = block_alloc(RUNTIME_BLOCK_SIZE);
    if (!block) return false;
    memset(block, 0, RUNTIME_BLOCK_SIZE);
    void* at = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(block) + 63) & ~uintptr_t(63));
    RuntimeRecord* r = new (at) RuntimeRecord{};
    r->block = block;
    r->block_size = RUNTIME_BLOCK_SIZE;
    r->epoch = 1;
    InitializeCriticalSection(&r->registry_lock);
    RuntimeRecord* expected = nullptr;
    if (!__atomic_compare_exchange_n(&g_runtime_record, &expected, r, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        DeleteCriticalSection(&r->registry_lock);
        block_free(block, RUNTIME_BLOCK_SIZE);
        return true;
    }
    full_barrier();
    __atomic_store_n(&g_exit_handlers_due, 1, __ATOMIC_RELEASE);
    __atomic_store_n(&g_published_once, 1, __ATOMIC_RELEASE);
    return true;
}

bool record_take_exit_handlers_due() {
    return __atomic_exchange_n(&g_exit_handlers_due, 0, __ATOMIC_ACQ_REL) != 0;
}

RuntimeRecord* runtime_ensure_slow() {
    if (!__atomic_load_n(&g_published_once, __ATOMIC_ACQUIRE)) record_publish();
    return runtime_record();
}

void record_unpublish_and_free(RuntimeRecord* r) {
    __atomic_store_n(&g_runtime_record, nullptr, __ATOMIC_SEQ_CST);
    DeleteCriticalSection(&r->registry_lock);
    for (NodePool& pool : r->pools) {
        WaitNode* n = pool.free_list;
        while (n) {
            WaitNode* next = n->pool_next;
            free_node(n);
            n = next;
        }
    }
    block_free(r->block, r->block_size);
}

void* block_alloc(uint64_t size) {
    if (size < 4096) return mem_malloc(size);
    void* base = nullptr;
    SIZE_T n = size;
    NTSTATUS s =
        NtAllocateVirtualMemory(GetCurrentProcess(), &base, 0, &n, MEM_COMMIT, PAGE_READWRITE);
    return EOL_NT_SUCCESS(s) ? base : nullptr;
}

void block_free(void* block, uint64_t size) {
    if (!block) return;
    if (size < 4096) {
        mem_free(block);
        return;
    }
    SIZE_T n = 0;
    NtFreeVirtualMemory(GetCurrentProcess(), &block, &n, MEM_RELEASE);
}

uint64_t thread_hash(uint64_t x) {
    x = ~x + (x << 18);
    x = x ^ (x >> 31);
    x = x * 21;
    x = x ^ (x >> 11);
    x = x * 65;
    x = x ^ (x >> 22);
    return x;
}

// --- pools ----------------------------------------------------------------------

NodePool* thread_pool() {
    RuntimeRecord* r = runtime_ensure();
    return r ? &r->pools[thread_hash(self_id()) & (NODE_POOL_COUNT - 1)] : nullptr;
}

void pool_lock(NodePool* pool) {
    if (runtime_ensure()) {
        uint64_t w = __atomic_load_n(&pool->ticket, __ATOMIC_RELAXED);
        while (!__atomic_compare_exchange_n(&pool->ticket, &w, (w + 0x100000) & 0x7FF7FFFF, true,
                                            __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
        }
        uint64_t mine = (w >> 20) & 0x7FF;
        while (((__atomic_load_n(&pool->ticket, __ATOMIC_ACQUIRE) >> 8) & 0x7FF) != mine)
            cpu_pause();
    }
    __atomic_store_n(&pool->holder, self_id(), __ATOMIC_RELAXED);
}

void pool_unlock(NodePool* pool) {
    __atomic_store_n(&pool->holder, 0, __ATOMIC_RELAXED);
    if (!runtime_record()) return;
    uint64_t w = __atomic_load_n(&pool->ticket, __ATOMIC_RELAXED);
    while (!__atomic_compare_exchange_n(&pool->ticket, &w, (w + 0x100) & 0x7FF7FF00, true,
                                        __ATOMIC_SEQ_CST, __ATOMIC_RELAXED)) {
    }
}

void node_return(NodePool* pool, WaitNode* node) {
    NtClearEvent(node->event);
    node->armed = 0;
    __atomic_store_n(&node->fired, 0, __ATOMIC_RELAXED);
    if (!pool || !runtime_record()) {
        free_node(node); // the record is gone: nothing keeps the node
        return;
    }
    pool_lock(pool);
    node->pool_next = __atomic_load_n(&pool->free_list, __ATOMIC_RELAXED);
    __atomic_store_n(&pool->free_list, node, __ATOMIC_RELAXED);
    pool_unlock(pool);
}

WaitNode* node_take() {
    return node_take_from(thread_pool());
}

// Takes a node from the pool, or makes one with a fresh event.
WaitNode* node_take_from(NodePool* pool) {
    WaitNode* n = nullptr;
    if (pool && __atomic_load_n(&pool->free_list, __ATOMIC_RELAXED)) {
        pool_lock(pool);
        n = __atomic_load_n(&pool->free_list, __ATOMIC_RELAXED);
        if (n) __atomic_store_n(&pool->free_list, n->pool_next, __ATOMIC_RELAXED);
        pool_unlock(pool);
    }
    if (n) {
        n->pool_next = nullptr;
        return n;
    }
    n = static_cast<WaitNode*>(block_alloc(sizeof(WaitNode)));
    if (!n) return nullptr;
    memset(n, 0, sizeof(WaitNode));
    HANDLE event = nullptr;
    if (!EOL_NT_SUCCESS(
            NtCreateEvent(&event, kEventAllAccess, nullptr, NotificationEvent, FALSE))) {
        block_free(n, sizeof(WaitNode));
        return nullptr;
    }
    n->event = event;
    return n;
}
