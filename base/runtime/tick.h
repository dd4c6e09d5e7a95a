// The runtime's time base: milliseconds since system start, 64 bits wide.
#pragma once

#include <cstdint>

// Never fails; any thread, at any time (also before the runtime exists).
uint64_t tick_now();

// Test control: forget the looked-up 64-bit function and the wrap base, and
// read the 32-bit count through `source` (null: the system's GetTickCount)
// with the 64-bit function treated as absent when `source` is given.
void tick_test_reset(uint32_t (*source)());
// The extension of the 32-bit count so far (a multiple of 2^31).
uint64_t tick_test_wrap_base();
