// Helpers for the runtime tests: waiting for another thread to reach a
// state, without timing anything.
#pragma once

#include "base/runtime/semaphore.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

// Polls `cond` until it holds (true) or ten seconds pass (false).
template <class F> bool eventually(F cond) {
    for (int i = 0; i < 10000; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
}

inline uint64_t lock_word(const LightLock& l) {
    return __atomic_load_n(&l.word, __ATOMIC_SEQ_CST);
}

inline int32_t sem_count(const Semaphore& s) {
    return __atomic_load_n(&s.count, __ATOMIC_SEQ_CST);
}

// Milliseconds since `start`.
inline int64_t elapsed_ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// In a child process that checks without GoogleTest: a failed check ends it
// with status 1, which the parent's death test sees.
#define CHILD_CHECK(cond)                                                                          \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "failed: %s\n", #cond);                                                \
            exit(1);                                                                               \
        }                                                                                          \
    } while (0)
