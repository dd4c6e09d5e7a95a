#include "base/runtime/signal.h"

#include "base/runtime/record.h"

#include <cstddef>
#include <cstdlib>

namespace {

SignalCallback load_callback(SignalListener* l) {
    return __atomic_load_n(&l->callback, __ATOMIC_ACQUIRE);
}

// Sets the state and detaches every listener (newest first in the list)
// under the lock, then calls them oldest first outside it; a callback may
// free or reuse its listener, so `next` is read first.
void fire(Signal* s, uint8_t state) {
    light_lock(&s->lock);
    __atomic_store_n(&s->is_set, state, __ATOMIC_RELEASE);
    SignalListener* chain = nullptr;
    while (SignalListener* l = s->listeners) {
        s->listeners = l->next;
        if (l->next) l->next->link = &s->listeners;
        l->link = nullptr;
        l->next = chain;
        chain = l;
    }
    light_unlock(&s->lock);
    while (chain) {
        SignalListener* next = chain->next;
        load_callback(chain)(chain);
        chain = next;
    }
}

void ordinary_set(Signal* s) {
    if (__atomic_load_n(&s->is_set, __ATOMIC_ACQUIRE)) return;
    fire(s, 1);
}

void ordinary_reset(Signal* s) {
    fire(s, 0);
}

void constant_ignore(Signal*) {}

// Every field of the listener is written under the lock: a listener that
// is being registered again may at the same time be the subject of a
// removal on another thread, which reads its link under this lock.
bool add_listener(Signal* s, SignalCallback callback, SignalListener* listener) {
    light_lock(&s->lock);
    bool ok = !__atomic_load_n(&s->is_set, __ATOMIC_ACQUIRE);
    if (ok) {
        __atomic_store_n(&listener->callback, callback, __ATOMIC_RELEASE);
        listener->next = s->listeners;
        if (s->listeners) s->listeners->link = &listener->next;
        listener->link = &s->listeners;
        s->listeners = listener;
    } else {
        __atomic_store_n(&listener->callback, nullptr, __ATOMIC_RELEASE);
        listener->link = nullptr;
    }
    light_unlock(&s->lock);
    return ok;
}

bool remove_listener(Signal* s, SignalListener* listener) {
    light_lock(&s->lock);
    bool ok = listener->link != nullptr;
    if (ok) {
        *listener->link = listener->next;
        if (listener->next) listener->next->link = listener->link;
        listener->link = nullptr;
    }
    light_unlock(&s->lock);
    return ok;
}

uint8_t is_set(const Signal* s) {
    return __atomic_load_n(&s->is_set, __ATOMIC_ACQUIRE);
}

// --- the process signals --------------------------------------------------------------

Signal process_signals[PROCESS_SIGNAL_COUNT];
int32_t process_signals_ready = 0;

void set_exit_signal() {
    signal_set(signal_number(7));
}

// --- waiting on signals ---------------------------------------------------------------

struct WaitListener {
    SignalListener listener;
    Parker* parker;
    int32_t* woken;
    uint8_t* fired; // null for the second signal
};

void wait_listener_called(SignalListener* l) {
    WaitListener* w = reinterpret_cast<WaitListener*>(l);
    if (w->fired) __atomic_store_n(w->fired, 1, __ATOMIC_RELEASE);
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(w->woken, &expected, 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        parker_wake(w->parker);
    __atomic_store_n(&l->callback, nullptr, __ATOMIC_RELEASE);
}

// The registration pattern of every listener: a set signal is answered by
// calling the callback at once.
void listen(Signal* s, SignalCallback callback, SignalListener* l) {
    if (!signal_add_listener(s, callback, l)) {
        l->callback = callback;
        callback(l);
    }
}

// Removes a listener, or waits until its callback has finished running.
void unlisten(Signal* s, SignalListener* l) {
    if (signal_remove_listener(s, l)) return;
    while (load_callback(l)) sleep_ms(10);
}

WaitNode* node_of(SignalListener* l) {
    return reinterpret_cast<WaitNode*>(reinterpret_cast<char*>(l) - offsetof(WaitNode, listener));
}

void node_listener_called(SignalListener* l) {
    WaitNode* node = node_of(l);
    NtSetEvent(node->event, nullptr);
    __atomic_store_n(&node->fired, 1, __ATOMIC_RELEASE);
}

} // namespace

const SignalOps signal_ordinary_ops = {ordinary_set, ordinary_reset, add_listener, remove_listener,
                                       is_set};
const SignalOps signal_constant_ops = {constant_ignore, constant_ignore, add_listener,
                                       remove_listener, is_set};

void signal_init(Signal* s) {
    *s = Signal{};
    s->ops = &signal_ordinary_ops;
}

void signal_init_constant(Signal* s, bool set) {
    *s = Signal{};
    s->ops = &signal_constant_ops;
    s->is_set = set ? 1 : 0;
}

Signal* signal_ready(Signal* s) {
    const SignalOps* expected = nullptr;
    if (!__atomic_load_n(&s->ops, __ATOMIC_ACQUIRE))
        __atomic_compare_exchange_n(&s->ops, &expected, &signal_ordinary_ops, false,
                                    __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
    return s;
}

Signal* signal_number(uint32_t n) {
    if (!__atomic_load_n(&process_signals_ready, __ATOMIC_ACQUIRE)) {
        bool built = false;
        lock_for_address(&process_signals_ready);
        if (!__atomic_load_n(&process_signals_ready, __ATOMIC_ACQUIRE)) {
            for (Signal& s : process_signals) signal_init(&s);
            signal_init_constant(&process_signals[0], false);
            signal_init_constant(&process_signals[PROCESS_SIGNAL_COUNT - 1], true);
            signal_set(&process_signals[3]);
            full_barrier();
            __atomic_store_n(&process_signals_ready, 1, __ATOMIC_RELEASE);
            built = true;
        }
        unlock_for_address(&process_signals_ready);
        if (built) atexit(set_exit_signal);
    }
    return signal_ready(
        &process_signals[n < PROCESS_SIGNAL_COUNT - 1 ? n : PROCESS_SIGNAL_COUNT - 1]);
}

bool signal_wait(Signal* signal, Signal* second, int32_t timeout_ms) {
    Parker parker{};
    int32_t woken = 0;
    uint8_t fired = 0;
    WaitListener first{{}, &parker, &woken, &fired};
    WaitListener other{{}, &parker, &woken, nullptr};
    listen(signal, wait_listener_called, &first.listener);
    if (second) listen(second, wait_listener_called, &other.listener);
    parker_wait(&parker, timeout_ms, true);
    unlisten(signal, &first.listener);
    if (second) unlisten(second, &other.listener);
    if (parker.node) node_return(parker.pool, parker.node);
    return __atomic_load_n(&fired, __ATOMIC_ACQUIRE) != 0;
}

void node_arm(WaitNode* node, Signal* signal) {
    if (!node || !signal) return;
    node->armed = 1;
    listen(signal, node_listener_called, &node->listener);
}

void node_disarm(WaitNode* node, Signal* signal) {
    if (!node || !signal) return;
    if (signal_remove_listener(signal, &node->listener)) {
        node->armed = 0;
        return;
    }
    if (!node->armed) return;
    while (!__atomic_load_n(&node->fired, __ATOMIC_ACQUIRE)) {
        LARGE_INTEGER t;
        t.QuadPart = -100000; // 10 ms
        NtDelayExecution(TRUE, &t);
    }
    NtClearEvent(node->event);
    node->armed = 0;
    __atomic_store_n(&node->fired, 0, __ATOMIC_RELAXED);
}

void* node_event(WaitNode* node) {
    return node ? node->event : nullptr;
}

void node_release(WaitNode* node) {
    if (!node) return;
    node->armed = 0;
    __atomic_store_n(&node->fired, 0, __ATOMIC_RELAXED);
    NodePool* pool = thread_pool();
    if (!pool) {
        NtClose(node->event);
        block_free(node, sizeof(WaitNode));
        return;
    }
    pool_lock(pool);
    node->pool_next = __atomic_load_n(&pool->free_list, __ATOMIC_RELAXED);
    __atomic_store_n(&pool->free_list, node, __ATOMIC_RELAXED);
    pool_unlock(pool);
}

void listener_group_detach(ListenerGroup* group) {
    for (GroupMember* m = group->members; m; m = m->next) {
        if (signal_remove_listener(m->signal, &m->listener)) {
            __atomic_store_n(&m->active, nullptr, __ATOMIC_RELEASE);
            __atomic_sub_fetch(&group->pending, 1, __ATOMIC_SEQ_CST);
        }
    }
    while (__atomic_load_n(&group->pending, __ATOMIC_ACQUIRE) != 0) sleep_ms(10);
}
