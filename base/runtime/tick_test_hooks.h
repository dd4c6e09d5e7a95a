// Test controls of the tick clock; built only with EOLSET_TEST_HOOKS.
#pragma once

#include <cstdint>

// Forget the looked-up 64-bit function and the wrap base, and read the 32-bit
// count through `source` (null: the system's GetTickCount) with the 64-bit
// function treated as absent when `source` is given.
void tick_test_reset(uint32_t (*source)());
// The extension of the 32-bit count so far (a multiple of 2^31).
uint64_t tick_test_wrap_base();
