// Light locks, parkers, semaphores and the runtime record behind them.
//
// Ownership goes by thread id; a thread that has to wait blocks on a kernel
// event taken from a pool shared by the threads of the process, so a lock or
// a semaphore needs no set-up and no kernel object of its own: zero bytes are
// a free lock, an empty semaphore and a fresh parker.
#pragma once

#include <cstdint>

struct Signal;
struct NodePool;
struct WaitNode;
struct SemWaiter;

// Creates and publishes the runtime record unless one is published; false
// when none exists afterwards (out of memory). Every operation below calls
// it, so callers need it only to be sure of the record.
bool runtime_init();
// Exit-time handler: reaps worker threads and frees the record. The locks
// keep working afterwards, without excluding anything.
void runtime_teardown();

// Memory for the runtime: heap below 4096 bytes, committed pages from 4096 on.
void* block_alloc(uint64_t size);
void block_free(void* block, uint64_t size);

// Thomas Wang's 64-bit integer hash: spreads thread ids and addresses.
uint64_t thread_hash(uint64_t x);

// A one-shot wait cell that lives on the waiting thread's stack.
struct Parker {
    int32_t state; // 0 idle, -1 owner blocked, >= 1 woken
    NodePool* pool;
    WaitNode* node;
};
// True when woken, false when the time-out (ms) passed first. A time-out of
// 0x7FFFFFFF or more as unsigned (every negative one) never passes.
bool parker_wait(Parker* p, int32_t timeout_ms, bool alertable);
void parker_wake(Parker* p);

// A lock of two words with first-come first-served hand-off. Not recursive;
// any thread may release it on behalf of its holder.
struct LightLock {
    uint64_t owner;
    uint64_t word;
};
void light_lock(LightLock* lock);
void light_unlock(LightLock* lock);

// One of 16 process-wide locks, picked by the address (for one-time set-ups).
void lock_for_address(const void* address);
void unlock_for_address(const void* address);

// A counting semaphore granting permits strictly in arrival order.
struct Semaphore {
    LightLock lock;
    SemWaiter* head; // oldest waiter
    SemWaiter* tail;
    int32_t count; // free permits, or minus the number of waiters
};
void sem_post(Semaphore* s);
// True when a permit was taken; false on time-out (ms, as parker_wait) or
// when `cancel` (null for none) is or becomes set first.
bool sem_wait(Semaphore* s, Signal* cancel, int32_t timeout_ms);

// Sleeps alertably; 0x7FFFFFFF or more as unsigned sleeps for ever.
void sleep_ms(int32_t ms);
