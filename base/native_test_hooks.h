// Test controls of the native file calls; built only with EOLSET_TEST_HOOKS.
#pragma once

#include <cstdint>

// Stands in for the process dying at a chosen moment, on either build: on
// the calling thread, the n-th call from now on that changes a file (a
// positioned write, or a change of a file's information other than its
// position; 1 = the next one) and every later one fail with
// ERROR_DISK_FULL and change nothing, except that a stopped write of more
// than `tear_above` bytes (0: none) moves its first half. 0 disarms.
void native_stop_changes_at(uint32_t n, uint64_t tear_above = 0);
// The changing calls the thread made since it last armed or disarmed.
uint32_t native_change_count();
// The thread's next change: false (and *tear set to the bytes a write may
// still move, when asked) once the stop is reached.
bool native_change_allowed(uint64_t length, uint64_t* tear);
