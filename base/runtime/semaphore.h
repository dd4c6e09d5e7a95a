// Counting semaphores: a light lock, a queue of waiters on their own
// stacks, and a cancel signal a waiter may give up on.
#pragma once

#include "base/runtime/lock.h"

#include <cstdint>

struct Signal;
struct SemWaiter;

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
