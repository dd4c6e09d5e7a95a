#include "base/runtime/runtime.h"

#include "base/alloc.h"
#include "base/runtime/thread.h"
#include "base/runtime/tick.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

RuntimeRecord* g_runtime = nullptr; // published record
uint8_t g_runtime_initialised = 0;  // set once a record was published; never cleared
LightLock g_address_locks[16];

// A parker without an event blocks with this state instead of -1, so that a
// waker knows not to look for an event (the owner may return at once).
constexpr int32_t kBlockedNoEvent = -2;

uint64_t self_id() {
    return GetCurrentThreadId();
}

inline RuntimeRecord* ensure_runtime() {
    RuntimeRecord* r = runtime_record();
    if (r) return r;
    if (!__atomic_load_n(&g_runtime_initialised, __ATOMIC_ACQUIRE)) runtime_init();
    return runtime_record();
}

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Takes a node from the pool, or makes one with a fresh event.
WaitNode* take_node(NodePool* pool) {
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

void free_node(WaitNode* n) {
    NtClose(n->event);
    block_free(n, sizeof(WaitNode));
}

// A parker that has no event polls its state in 1 ms steps for at most
// `slice` ms; true once a wake arrived.
bool poll_without_event(Parker* p, uint64_t slice, bool alertable) {
    for (uint64_t i = 0;; ++i) {
        if (__atomic_load_n(&p->state, __ATOMIC_ACQUIRE) != kBlockedNoEvent) return true;
        if (i >= slice) return false;
        LARGE_INTEGER t;
        t.QuadPart = -10000;
        // An alert or a call run ends the slice; an elapsed delay does not
        // (Wine reports it as a time-out when alertable).
        NTSTATUS st = NtDelayExecution(alertable, &t);
        if (st == STATUS_USER_APC || st == STATUS_ALERTED) return false;
    }
}

struct LockWaiter {
    uint64_t thread_id;
    uint64_t next; // the lock word's value when this waiter queued
    Parker parker;
};

} // namespace

struct SemWaiter {
    Semaphore* sem;
    SignalListener listener; // on the cancel signal
    SemWaiter* prev;
    SemWaiter* next;
    Parker parker;
    int32_t woken; // 0 until poster or canceller claims the wake
    uint8_t granted;
};

// --- the record -----------------------------------------------------------------

RuntimeRecord* runtime_record() {
    return __atomic_load_n(&g_runtime, __ATOMIC_ACQUIRE);
}

RuntimeRecord* runtime_ensure() {
    return ensure_runtime();
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

bool runtime_init() {
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
    if (!__atomic_compare_exchange_n(&g_runtime, &expected, r, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        DeleteCriticalSection(&r->registry_lock);
        block_free(block, RUNTIME_BLOCK_SIZE);
        return true;
    }
    full_barrier();
    __atomic_store_n(&g_runtime_initialised, 1, __ATOMIC_RELEASE);
    // The signal table registers its exit handler first, so it runs after ours.
    signal_number(1);
    atexit(runtime_teardown);
    return true;
}

void runtime_teardown() {
    RuntimeRecord* r = runtime_record();
    if (!r) return;
    threads_reap_all();
    __atomic_store_n(&g_runtime, nullptr, __ATOMIC_SEQ_CST);
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
    RuntimeRecord* r = ensure_runtime();
    return r ? &r->pools[thread_hash(self_id()) & (NODE_POOL_COUNT - 1)] : nullptr;
}

void pool_lock(NodePool* pool) {
    if (ensure_runtime()) {
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
    return take_node(thread_pool());
}

// --- parker ---------------------------------------------------------------------

bool parker_wait(Parker* p, int32_t timeout_ms, bool alertable) {
    if (__atomic_load_n(&p->state, __ATOMIC_ACQUIRE) == 0) {
        p->pool = thread_pool();
        p->node = take_node(p->pool);
    }
    WaitNode* node = p->node;
    int32_t blocked = node ? -1 : kBlockedNoEvent;
    int32_t expected = 0;
    if (!__atomic_compare_exchange_n(&p->state, &expected, blocked, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return true; // a wake came first
    bool infinite = uint32_t(timeout_ms) >= 0x7FFFFFFF;
    uint64_t now = 0;
    uint64_t deadline = infinite ? UINT64_MAX : uint64_t(timeout_ms);
    if (!infinite && !node) {
        now = tick_now();
        deadline = now + uint64_t(timeout_ms);
    }
    for (;;) {
        if (!infinite && now >= deadline) {
            expected = blocked;
            if (__atomic_compare_exchange_n(&p->state, &expected, 0, false, __ATOMIC_SEQ_CST,
                                            __ATOMIC_SEQ_CST))
                return false;
            infinite = true; // a wake is under way and will set the event
        }
        uint64_t remaining = infinite ? UINT64_MAX : deadline - now;
        if (!node) {
            if (poll_without_event(p, remaining < 20 ? remaining : 20, alertable)) return true;
            if (!infinite) now = tick_now();
            continue;
        }
        if (remaining >= 0x7FFFFFFF) {
            if (NtWaitForSingleObject(node->event, alertable, nullptr) == STATUS_SUCCESS)
                return true;
            continue;
        }
        LARGE_INTEGER t;
        t.QuadPart = -int64_t(remaining) * 10000;
        NTSTATUS s = NtWaitForSingleObject(node->event, alertable, &t);
        if (s == STATUS_SUCCESS) return true;
        if (s == STATUS_TIMEOUT)
            now = deadline;
        else if (!infinite)
            now = tick_now(); // an alert ends a finite wait as at its deadline
    }
}

void parker_wake(Parker* p) {
    // Only an owner blocked on an event (-1) waits for us to set it; one
    // without an event may return as soon as the state moves.
    if (__atomic_fetch_add(&p->state, 1, __ATOMIC_SEQ_CST) == -1)
        NtSetEvent(p->node->event, nullptr);
}

// --- light lock -----------------------------------------------------------------

namespace {

// Queues behind the holder and waits for the hand-off; kept out of line so
// that the uncontended path needs no stack frame.
[[gnu::noinline]] void light_lock_queued(LightLock* lock, uint64_t id) {
    LockWaiter w{id, 0, Parker{}};
    for (;;) {
        uint64_t c = __atomic_load_n(&lock->word, __ATOMIC_SEQ_CST);
        if (c != 0) {
            __atomic_store_n(&w.next, c, __ATOMIC_RELAXED);
            if (__atomic_compare_exchange_n(&lock->word, &c, reinterpret_cast<uintptr_t>(&w), false,
                                            __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
                parker_wait(&w.parker, -1, false);
                break;
            }
        } else if (__atomic_compare_exchange_n(&lock->word, &c, id, false, __ATOMIC_SEQ_CST,
                                               __ATOMIC_SEQ_CST)) {
            break;
        }
    }
    if (w.parker.node) node_return(w.parker.pool, w.parker.node);
    __atomic_store_n(&lock->owner, id, __ATOMIC_RELAXED);
}

} // namespace

void light_lock(LightLock* lock) {
    uint64_t id = self_id();
    uint64_t c = 0;
    if (ensure_runtime() && !__atomic_compare_exchange_n(&lock->word, &c, id, false,
                                                         __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        light_lock_queued(lock, id);
        return;
    }
    // Acquired, or no record: then only the owner is noted.
    __atomic_store_n(&lock->owner, id, __ATOMIC_RELAXED);
}

void light_unlock(LightLock* lock) {
    uint64_t a = __atomic_load_n(&lock->owner, __ATOMIC_RELAXED);
    __atomic_store_n(&lock->owner, 0, __ATOMIC_RELAXED);
    if (!runtime_record()) return;
    uint64_t c = a;
    if (__atomic_compare_exchange_n(&lock->word, &c, 0, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        return;
    for (;;) {
        uint64_t* link = &lock->word;
        uint64_t wv = __atomic_load_n(link, __ATOMIC_SEQ_CST);
        // Taken while no record existed: the word never recorded the holder.
        if (wv == 0) return;
        LockWaiter* w = reinterpret_cast<LockWaiter*>(wv);
        for (;;) {
            uint64_t next = __atomic_load_n(&w->next, __ATOMIC_SEQ_CST);
            if (next == a) break;
            link = &w->next;
            wv = next;
            w = reinterpret_cast<LockWaiter*>(next);
        }
        // The oldest waiter's id takes the releasing holder's place at the
        // end of the chain; only the word itself can change meanwhile.
        if (__atomic_compare_exchange_n(link, &wv, w->thread_id, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
            parker_wake(&w->parker);
            return;
        }
    }
}

void lock_for_address(const void* address) {
    light_lock(&g_address_locks[thread_hash(reinterpret_cast<uintptr_t>(address)) & 15]);
}

void unlock_for_address(const void* address) {
    light_unlock(&g_address_locks[thread_hash(reinterpret_cast<uintptr_t>(address)) & 15]);
}

// --- semaphore ------------------------------------------------------------------

namespace {

void sem_cancel(SignalListener* l) {
    SemWaiter* w =
        reinterpret_cast<SemWaiter*>(reinterpret_cast<char*>(l) - offsetof(SemWaiter, listener));
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(&w->woken, &expected, 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        parker_wake(&w->parker);
    __atomic_store_n(&l->callback, nullptr, __ATOMIC_RELEASE);
}

} // namespace

void sem_post(Semaphore* s) {
    int32_t c = __atomic_load_n(&s->count, __ATOMIC_SEQ_CST);
    if (c >= 0 && __atomic_compare_exchange_n(&s->count, &c, c + 1, false, __ATOMIC_SEQ_CST,
                                              __ATOMIC_SEQ_CST))
        return;
    light_lock(&s->lock);
    if (__atomic_add_fetch(&s->count, 1, __ATOMIC_SEQ_CST) <= 0 && s->head) {
        SemWaiter* w = s->head;
        s->head = w->next;
        if (s->head)
            s->head->prev = nullptr;
        else
            s->tail = nullptr;
        w->granted = 1;
        int32_t expected = 0;
        if (__atomic_compare_exchange_n(&w->woken, &expected, 1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            parker_wake(&w->parker);
    }
    light_unlock(&s->lock);
}

bool sem_wait(Semaphore* s, Signal* cancel, int32_t timeout_ms) {
    int32_t c = __atomic_load_n(&s->count, __ATOMIC_SEQ_CST);
    if (c - 1 >= 0 && __atomic_compare_exchange_n(&s->count, &c, c - 1, false, __ATOMIC_SEQ_CST,
                                                  __ATOMIC_SEQ_CST))
        return true;
    ensure_runtime();
    SemWaiter w{};
    w.sem = s;
    w.granted = 1;
    light_lock(&s->lock);
    if (__atomic_fetch_sub(&s->count, 1, __ATOMIC_SEQ_CST) < 1) {
        w.granted = 0;
        w.prev = s->tail;
        if (s->tail)
            s->tail->next = &w;
        else
            s->head = &w;
        s->tail = &w;
        light_unlock(&s->lock);
        if (!cancel) {
            parker_wait(&w.parker, timeout_ms, true);
        } else {
            if (!signal_add_listener(cancel, sem_cancel, &w.listener)) {
                w.listener.callback = sem_cancel;
                sem_cancel(&w.listener);
            }
            parker_wait(&w.parker, timeout_ms, true);
            if (!signal_remove_listener(cancel, &w.listener)) {
                while (__atomic_load_n(&w.listener.callback, __ATOMIC_ACQUIRE)) sleep_ms(10);
            }
        }
        light_lock(&s->lock);
        if (!w.granted) {
            if (w.prev)
                w.prev->next = w.next;
            else
                s->head = w.next;
            if (w.next)
                w.next->prev = w.prev;
            else
                s->tail = w.prev;
            __atomic_add_fetch(&s->count, 1, __ATOMIC_SEQ_CST);
        }
    }
    light_unlock(&s->lock);
    if (w.parker.node) node_return(w.parker.pool, w.parker.node);
    return w.granted != 0;
}

void sleep_ms(int32_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = uint32_t(ms) >= 0x7FFFFFFF ? kNtWaitForever : -int64_t(ms) * 10000;
    NtDelayExecution(TRUE, &t);
}
