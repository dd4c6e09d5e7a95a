// Signals: a latched state with listeners that run when it is set or reset,
// reached through a table of operations so that a constant signal can stand
// wherever a signal is expected. Any thread may set, reset or test a signal.
#pragma once

#include "base/runtime/listener.h"
#include "base/runtime/lock.h"

#include <cstdint>

struct Signal;

// Slot order is fixed: set, reset, add listener, remove listener, is set.
struct SignalOps {
    void (*set)(Signal* s);
    void (*reset)(Signal* s);
    bool (*add_listener)(Signal* s, SignalCallback callback, SignalListener* listener);
    bool (*remove_listener)(Signal* s, SignalListener* listener);
    uint8_t (*is_set)(const Signal* s);
};

// Zero bytes plus the ordinary table are a clear signal. The listener list
// is newest first; listeners are called oldest first, outside the lock.
struct Signal {
    const SignalOps* ops;
    uint8_t is_set;
    LightLock lock;
    SignalListener* listeners;
};

extern const SignalOps signal_ordinary_ops;
extern const SignalOps signal_constant_ops; // set and reset leave it alone

void signal_init(Signal* s);
void signal_init_constant(Signal* s, bool set);
// A signal inside a zeroed record: gives it the ordinary table on first use.
Signal* signal_ready(Signal* s);

inline void signal_set(Signal* s) {
    s->ops->set(s);
}
// Clears the signal and calls every listener registered now.
inline void signal_reset(Signal* s) {
    s->ops->reset(s);
}
// True when registered; false (callback left null) when the signal is set:
// the caller then calls its callback itself.
inline bool signal_add_listener(Signal* s, SignalCallback callback, SignalListener* listener) {
    return s->ops->add_listener(s, callback, listener);
}
// True when it removed a registered listener; false when the listener has
// been or is being called, and must not be reused until its callback is done.
inline bool signal_remove_listener(Signal* s, SignalListener* listener) {
    return s->ops->remove_listener(s, listener);
}
inline uint8_t signal_is_set(const Signal* s) {
    return s->ops->is_set(s);
}

// The process signals 0..21: 0 never set, 21 always set (and every number
// above it); 3 set at start-up, 5 and 6 set as exit-time teardown begins and
// ends, 7 set by an exit handler after it.
constexpr uint32_t PROCESS_SIGNAL_COUNT = 22;
Signal* signal_number(uint32_t n);

// Waits until `signal` or `second` (null for none) is set or the time-out
// (ms, as parker_wait) passes; true when `signal` was set.
bool signal_wait(Signal* signal, Signal* second, int32_t timeout_ms);

// Binding a pooled kernel event to a signal, so that a thread blocked in the
// kernel can be woken through it. `node_take` hands out a node of the
// calling thread's pool (null when none can be had); `node_release` gives it
// back.
WaitNode* node_take();
void node_arm(WaitNode* node, Signal* signal);
void node_disarm(WaitNode* node, Signal* signal);
void* node_event(WaitNode* node);
void node_release(WaitNode* node);

// A listener group begins like a signal and holds members, each listening
// on its own signal; `pending` counts member callbacks not yet finished.
struct GroupMember {
    SignalCallback active;
    GroupMember* next;
    Signal* signal;
    SignalListener listener;
};
struct ListenerGroup {
    Signal signal;
    GroupMember* members;
    int32_t pending;
};
// Removes every member's listener and waits until no member callback runs.
void listener_group_detach(ListenerGroup* group);
