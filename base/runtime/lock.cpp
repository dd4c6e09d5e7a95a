#include "base/runtime/lock.h"

#include "base/runtime/record.h"
#include "base/runtime/tick.h"

namespace {

LightLock g_address_locks[16];

// A parker without an event blocks with this state instead of -1, so that a
// waker knows not to look for an event (the owner may return at once).
constexpr int32_t kBlockedNoEvent = -2;

uint64_t self_id() {
    return GetCurrentThreadId();
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

// --- parker ---------------------------------------------------------------------

bool parker_wait(Parker* p, int32_t timeout_ms, bool alertable) {
    if (__atomic_load_n(&p->state, __ATOMIC_ACQUIRE) == 0) {
        p->pool = thread_pool();
        p->node = node_take_from(p->pool);
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
    if (runtime_ensure() && !__atomic_compare_exchange_n(&lock->word, &c, id, false,
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

void sleep_ms(int32_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = uint32_t(ms) >= 0x7FFFFFFF ? kNtWaitForever : -int64_t(ms) * 10000;
    NtDelayExecution(TRUE, &t);
}
