#include "base/signal.h"

namespace {

// Detaches every listener (newest first in the list) and calls them oldest
// first; a callback may free or reuse its listener, so `next` is read first.
void fire(Signal* s, uint8_t state) {
    s->is_set = state;
    SignalListener* chain = nullptr;
    while (SignalListener* l = s->listeners) {
        s->listeners = l->next;
        if (l->next) l->next->link = &s->listeners;
        l->link = nullptr;
        l->next = chain;
        chain = l;
    }
    while (chain) {
        SignalListener* next = chain->next;
        chain->callback(chain);
        chain = next;
    }
}

void ordinary_set(Signal* s) {
    if (s->is_set) return;
    fire(s, 1);
}

void ordinary_reset(Signal* s) {
    fire(s, 0);
}

void constant_ignore(Signal*) {}

bool add_listener(Signal* s, SignalCallback callback, SignalListener* listener) {
    listener->callback = nullptr;
    listener->link = nullptr;
    if (s->is_set) return false;
    listener->callback = callback;
    listener->next = s->listeners;
    if (s->listeners) s->listeners->link = &listener->next;
    listener->link = &s->listeners;
    s->listeners = listener;
    return true;
}

bool remove_listener(Signal*, SignalListener* listener) {
    if (!listener->link) return false;
    *listener->link = listener->next;
    if (listener->next) listener->next->link = listener->link;
    listener->link = nullptr;
    return true;
}

uint8_t is_set(const Signal* s) {
    return s->is_set;
}

} // namespace

const SignalOps signal_ordinary_ops = {ordinary_set, ordinary_reset, add_listener, remove_listener,
                                       is_set};
const SignalOps signal_constant_ops = {constant_ignore, constant_ignore, add_listener,
                                       remove_listener, is_set};

void signal_init(Signal* s) {
    s->ops = &signal_ordinary_ops;
    s->is_set = 0;
    s->listeners = nullptr;
}

void signal_init_constant(Signal* s, bool set) {
    s->ops = &signal_constant_ops;
    s->is_set = set ? 1 : 0;
    s->listeners = nullptr;
}
