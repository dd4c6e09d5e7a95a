// Fault injection and call observation for the Linux stand-in. Tests use it
// to make chosen calls fail or come back short, and to see what the system
// code asked for. Unused, every hook costs one test of a flag. All of it is
// a test control (base/test_control.h): without EOLSET_TEST_HOOKS the
// stand-in's calls below are empty and the controls are not there at all.
#pragma once

#include "platform/nt.h"

enum FaultOp : int {
    FAULT_OPEN,       // NtCreateFile
    FAULT_READ,       // ReadFile
    FAULT_WRITE,      // WriteFile
    FAULT_QUERY_INFO, // NtQueryInformationFile
    FAULT_SET_INFO,   // NtSetInformationFile
    FAULT_QUERY_VOL,  // NtQueryVolumeInformationFile
    FAULT_QUERY_OBJ,  // NtQueryObject
    FAULT_QUERY_DIR,  // NtQueryDirectoryFile
    FAULT_CURDIR,     // GetCurrentDirectoryW (fails with the rule's error)
    FAULT_FULLPATH,   // GetFullPathNameW (likewise)
    FAULT_USERNAME,   // GetUserNameW (likewise)
    FAULT_EVENT,      // NtCreateEvent (fails with the rule's status)
    FAULT_VMALLOC,    // NtAllocateVirtualMemory (likewise)
    FAULT_THREAD,     // CreateThread (fails with the rule's error)
    FAULT_ASYNC_READ, // NtReadFile with an APC routine (fails with the rule's status)
    FAULT_OP_COUNT
};

struct FaultRule {
    uint32_t skip = 0;     // matching calls that pass untouched first
    uint32_t count = 1;    // matching calls the rule then acts on; 0 = all of them
    NTSTATUS status = 0;   // NT calls: fail with this status (NtCreateFile with short_to >= 0:
                           // succeed, with this status in the I/O status block)
    DWORD error = 0;       // ReadFile/WriteFile: fail with this error code
    int64_t short_to = -1; // ReadFile/WriteFile: succeed, moving at most this many bytes
    ULONG info_class = 0;  // query/set calls: act only on this class (0 = any)
};

#ifdef EOLSET_TEST_HOOKS

// Arms a rule for one operation (replacing an earlier one).
void fault_set(FaultOp op, const FaultRule& rule);
// Disarms every rule and clears the call log.
void fault_reset();

// What the stand-in saw. Counters only grow until fault_reset().
struct CallLog {
    uint32_t opens;          // NtCreateFile calls
    uint32_t write_opens;    // ... asking for FILE_WRITE_DATA or FILE_APPEND_DATA
    ACCESS_MASK last_access; // arguments of the last NtCreateFile
    ULONG last_share;
    ULONG last_disposition;
    ULONG last_attributes;
    ULONG last_options;
    uint32_t reads;           // ReadFile calls
    uint64_t last_read_size;  // bytes asked by the last ReadFile
    uint32_t writes;          // WriteFile calls
    uint64_t last_write_size; // bytes given to the last WriteFile
    uint64_t bytes_written;   // bytes WriteFile moved, summed over all calls
    uint32_t set_error_mode;  // SetErrorMode calls
    uint32_t dir_queries;     // NtQueryDirectoryFile calls
    uint32_t events_created;  // NtCreateEvent successes
    uint32_t tick32_calls;    // GetTickCount calls
    uint32_t threads_created; // CreateThread successes
    SIZE_T last_stack_size;   // arguments of the last CreateThread
    DWORD last_thread_flags;
    int last_priority; // the last priority SetThreadPriority was given
};
extern CallLog g_call_log;
// The log is written by every thread that makes a call: its fields move
// atomically (a test reads them once the calls are over).
template <class T, class V> inline T log_count(T& field, V n = 1) {
    return __atomic_add_fetch(&field, static_cast<T>(n), __ATOMIC_RELAXED);
}
template <class T, class V> inline void log_note(T& field, V value) {
    __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELAXED);
}

// Test control: called at the start of every ReadFile and WriteFile with the
// call's number in the log, so a test can act as another program would at
// that moment (append to the file, cut it). Null when unused.
using TransferHook = void (*)(bool write, uint32_t call);
extern TransferHook g_transfer_hook;

// Test control: delivers a console control event to the registered handlers
// on a thread of its own, as the system would; true when one took it.
bool console_event_for_tests(DWORD event);

// Internal: decides whether a rule acts on this call. Inline so that the
// unarmed case is one load and one branch. The flag is read by every thread
// that makes a call while a test arms or clears it: it moves atomically.
extern bool g_fault_armed;
bool fault_take_slow(FaultOp op, ULONG info_class, FaultRule* out);
inline bool fault_take(FaultOp op, ULONG info_class, FaultRule* out) {
    return __atomic_load_n(&g_fault_armed, __ATOMIC_RELAXED) &&
           fault_take_slow(op, info_class, out);
}

// The tick calls. Hidden, kernel32 does not export GetTickCount64 (as before
// Windows Vista). With a reading given, GetTickCount returns the value it
// holds at each call (the test moves it on); null gives the clock again.
void fault_hide_tick64(bool hidden);
void fault_set_tick(const uint32_t* reading);

// Thread handles open in the process now.
uint32_t fault_live_thread_handles();

#define CALL_LOG_COUNT(field, n) log_count(g_call_log.field, n)
#define CALL_LOG_NOTE(field, value) log_note(g_call_log.field, value)
inline void transfer_hook(bool write, uint32_t call) {
    if (TransferHook hook = __atomic_load_n(&g_transfer_hook, __ATOMIC_ACQUIRE)) hook(write, call);
}

#else

inline bool fault_take(FaultOp, ULONG, FaultRule*) {
    return false;
}
inline uint32_t call_log_none() {
    return 0;
}
#define CALL_LOG_COUNT(field, n) call_log_none()
#define CALL_LOG_NOTE(field, value) ((void)(value))
inline void transfer_hook(bool, uint32_t) {}

#endif
