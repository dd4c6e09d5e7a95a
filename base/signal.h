// Signals: a latched state reached through a table of operations, so that a
// constant signal can stand wherever a signal is expected. The walker only
// asks `signal_is_set`.
#pragma once

#include <cstdint>

struct Signal;
struct SignalListener;
using SignalCallback = void (*)(SignalListener* listener);

// Owned by whoever registers it; `link` points at the field that points at
// this listener while it is registered, and is null otherwise.
struct SignalListener {
    SignalCallback callback;
    SignalListener** link;
    SignalListener* next;
};

// Slot order is fixed: set, reset, add listener, remove listener, is set.
struct SignalOps {
    void (*set)(Signal* s);
    void (*reset)(Signal* s);
    bool (*add_listener)(Signal* s, SignalCallback callback, SignalListener* listener);
    bool (*remove_listener)(Signal* s, SignalListener* listener);
    uint8_t (*is_set)(const Signal* s);
};

// A zeroed record with an ops table is a clear signal. The listener list is
// newest first. This form takes no lock: it serves one thread.
struct Signal {
    const SignalOps* ops;
    uint8_t is_set;
    SignalListener* listeners;
};

extern const SignalOps signal_ordinary_ops;
extern const SignalOps signal_constant_ops; // set and reset leave it alone

void signal_init(Signal* s);
void signal_init_constant(Signal* s, bool set);

inline void signal_set(Signal* s) {
    s->ops->set(s);
}
inline void signal_reset(Signal* s) {
    s->ops->reset(s);
}
// True when registered; false when the signal is already set.
inline bool signal_add_listener(Signal* s, SignalCallback callback, SignalListener* listener) {
    return s->ops->add_listener(s, callback, listener);
}
// True when it removed a registered listener.
inline bool signal_remove_listener(Signal* s, SignalListener* listener) {
    return s->ops->remove_listener(s, listener);
}
inline uint8_t signal_is_set(const Signal* s) {
    return s->ops->is_set(s);
}
