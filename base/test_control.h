// The program's test controls, all of them: forced failures, chosen clocks,
// count seeds, window sizes and the call log. They are compiled only with
// EOLSET_TEST_HOOKS (the test builds); a program built to be shipped holds
// none of them. The few that the program's own code calls are empty inline
// functions without the macro.
#pragma once

#include <cstdint>

#ifdef EOLSET_TEST_HOOKS

// --- the heap seam (base/alloc) ---------------------------------------------
// The n-th heap call from now on (1 = the next one) fails, and so does every
// call after it when `sticky` is set. 0 disarms.
void mem_fail_at(uint64_t n, bool sticky = false);
// Heap calls made through the seam since the process started.
uint64_t mem_call_count();
// mem_available answers `bytes` from now on; all-ones ends that.
void mem_set_available(uint64_t bytes);

// --- native file calls (base/native, base/transfer) ---------------------------
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

// --- the runtime's clock and alarm thread (base/runtime) ------------------------
// Forget the looked-up 64-bit function and the wrap base, and read the 32-bit
// count through `source` (null: the system's GetTickCount) with the 64-bit
// function treated as absent when `source` is given.
void tick_test_reset(uint32_t (*source)());
// The extension of the 32-bit count so far (a multiple of 2^31).
uint64_t tick_test_wrap_base();
// How often a schedule woke the alarm thread because its timer became the first.
uint64_t alarm_test_wakes();

// --- the converter (app/) -------------------------------------------------------
// Every pass starts counting from *seed instead of 0 (null: 0), so that
// counts past 32 bits can be seen without gigabytes of text.
struct PassCounts;
void convert_set_count_seed(const PassCounts* seed);
// The rewrite's window (0: the default; at least 5 bytes, the longest token
// and two more) and whether a shrinking rewrite tests the cut first, as on
// Windows.
void rewrite_set_window(uint64_t size, bool probe_cut);
// Every hand-over and wait of the last crew of workers, for the test of
// their cost. With EOLSET_CREW_STATS in the environment a run also prints
// them on standard error when its crew ends.
struct CrewStats {
    uint64_t jobs;
    uint64_t worker_sleeps; // a worker found no file and waited
    uint64_t main_waits;    // the walk waited for a result
    uint32_t threads;
};
CrewStats crew_stats();

// Converting a file prints nothing: the driver prints what its result says.
// print_pieces checks that no conversion is in progress on its thread.
void test_enter_conversion(bool entering);
void test_check_may_print();

#else

inline void test_enter_conversion(bool) {}
inline void test_check_may_print() {}

#endif

// The Linux stand-in's own controls: forced failures of its calls, the call
// log, a hook on every transfer.
#if defined(EOLSET_TEST_HOOKS) && !defined(_WIN32)
#include "platform/posix/fault.h"
#endif
