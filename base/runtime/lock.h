// Light locks and parkers.
//
// Ownership goes by thread id; a thread that has to wait blocks on a kernel
// event taken from a pool shared by the threads of the process, so a lock needs
// no set-up and no kernel object of its own: zero bytes are
// a free lock and a fresh parker.
#pragma once

#include <cstdint>

struct NodePool;
struct WaitNode;

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

// Sleeps alertably; 0x7FFFFFFF or more as unsigned sleeps for ever.
void sleep_ms(int32_t ms);
