// Test controls of the heap seam; built only with EOLSET_TEST_HOOKS.
#pragma once

#include <cstdint>

// The n-th heap call from now on (1 = the next one) fails, and so does every
// call after it when `sticky` is set. 0 disarms.
void mem_fail_at(uint64_t n, bool sticky = false);
// Heap calls made through the seam since the process started.
uint64_t mem_call_count();
// mem_available answers `bytes` from now on; all-ones ends that.
void mem_set_available(uint64_t bytes);
