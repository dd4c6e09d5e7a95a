// The alarm thread: one process-wide thread that calls timer callbacks when
// their due tick time has come. A timer due at 0 (or any past time) runs at
// the thread's next pass, which makes the thread an executor for work that
// must run off the caller's thread. The thread starts with the first
// schedule, stops when process signal 5 is set, and is joined at exit.
#pragma once

#include "base/runtime/signal.h"
#include "base/runtime/timertree.h"

#include <cstdint>

// Set when the module is to stop; requests that need the thread listen on it.
extern Signal alarm_stop_signal;
// Set by the thread's finish hook, after the last callback has run.
extern Signal alarm_exited_signal;
// Non-zero when the thread may stop (nothing is outstanding), or null.
extern int32_t (*alarm_idle_hook)();

// Queues `timer` to call `callback` at `due` (a tick_now() value). False when
// the module has stopped: nothing is queued and the caller does the work.
bool alarm_schedule(Timer* timer, TimerCallback callback, uint64_t due);
// True when it took the timer out of the queue (its callback will not run);
// false when it was not queued (its callback has run, runs now, or it was
// never scheduled).
bool alarm_cancel(Timer* timer);
// Wakes the thread, so that it looks at its queue and its stop condition.
void alarm_wake();
// Listener of process signal 5: sets alarm_stop_signal and wakes the thread.
void alarm_shutdown(SignalListener* listener);

// A timer that sets a signal when due. Its completion clears the timer's
// callback field last, which is the mark its owner waits for.
struct SignalTimer {
    Timer timer;
    Signal* signal; // or null
};
// Queues the timer to set `signal` at `due`; false as alarm_schedule.
bool signal_timer_schedule(SignalTimer* st, Signal* signal, uint64_t due);
// The completion routine: sets the signal (when one is given), then clears
// the callback field.
void signal_timer_complete(Timer* timer);
// Stops the timer; on return its completion has run or never will, and the
// record may go. The signal is set only when the timer came due first.
void signal_timer_stop(SignalTimer* st);
