#include "base/runtime/semaphore.h"

#include "base/runtime/record.h"
#include "base/runtime/signal.h"

#include <cstddef>

struct SemWaiter {
    Semaphore* sem;
    SignalListener listener; // on the cancel signal
    SemWaiter* prev;
    SemWaiter* next;
    Parker parker;
    int32_t woken; // 0 until poster or canceller claims the wake
    uint8_t granted;
};

// --- semaphore ------------------------------------------------------------------

namespace {

void sem_cancel(SignalListener* l) {
    SemWaiter* w =
        reinterpret_cast<SemWaiter*>(reinterpret_cast<char*>(l) - offsetof(SemWaiter, listener));
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(&w->woken, &expected, 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        parker_wake(&w->parker);
    __atomic_store_n(&l->callback, nullptr, __ATOMIC_RELEASE);
}

} // namespace

void sem_post(Semaphore* s) {
    int32_t c = __atomic_load_n(&s->count, __ATOMIC_SEQ_CST);
    if (c >= 0 && __atomic_compare_exchange_n(&s->count, &c, c + 1, false, __ATOMIC_SEQ_CST,
                                              __ATOMIC_SEQ_CST))
        return;
    light_lock(&s->lock);
    if (__atomic_add_fetch(&s->count, 1, __ATOMIC_SEQ_CST) <= 0 && s->head) {
        SemWaiter* w = s->head;
        s->head = w->next;
        if (s->head)
            s->head->prev = nullptr;
        else
            s->tail = nullptr;
        w->granted = 1;
        int32_t expected = 0;
        if (__atomic_compare_exchange_n(&w->woken, &expected, 1, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            parker_wake(&w->parker);
    }
    light_unlock(&s->lock);
}

bool sem_wait(Semaphore* s, Signal* cancel, int32_t timeout_ms) {
    int32_t c = __atomic_load_n(&s->count, __ATOMIC_SEQ_CST);
    if (c - 1 >= 0 && __atomic_compare_exchange_n(&s->count, &c, c - 1, false, __ATOMIC_SEQ_CST,
                                                  __ATOMIC_SEQ_CST))
        return true;
    runtime_ensure();
    SemWaiter w{};
    w.sem = s;
    w.granted = 1;
    light_lock(&s->lock);
    if (__atomic_fetch_sub(&s->count, 1, __ATOMIC_SEQ_CST) < 1) {
        w.granted = 0;
        w.prev = s->tail;
        if (s->tail)
            s->tail->next = &w;
        else
            s->head = &w;
        s->tail = &w;
        light_unlock(&s->lock);
        if (!cancel) {
            parker_wait(&w.parker, timeout_ms, true);
        } else {
            if (!signal_add_listener(cancel, sem_cancel, &w.listener)) {
                w.listener.callback = sem_cancel;
                sem_cancel(&w.listener);
            }
            parker_wait(&w.parker, timeout_ms, true);
            if (!signal_remove_listener(cancel, &w.listener)) {
                while (__atomic_load_n(&w.listener.callback, __ATOMIC_ACQUIRE)) sleep_ms(10);
            }
        }
        light_lock(&s->lock);
        if (!w.granted) {
            if (w.prev)
                w.prev->next = w.next;
            else
                s->head = w.next;
            if (w.next)
                w.next->prev = w.prev;
            else
                s->tail = w.prev;
            __atomic_add_fetch(&s->count, 1, __ATOMIC_SEQ_CST);
        }
    }
    light_unlock(&s->lock);
    if (w.parker.node) node_return(w.parker.pool, w.parker.node);
    return w.granted != 0;
}
