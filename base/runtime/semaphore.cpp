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
    int32_t woken; // 0 until poster (kByPost) or canceller (kByCancel) claims the wake
    uint8_t granted;
};

namespace {
constexpr int32_t kByPost = 1;
constexpr int32_t kByCancel = 2;
} // namespace

// --- semaphore ------------------------------------------------------------------

namespace {

void sem_cancel(SignalListener* l) {
    SemWaiter* w =
        reinterpret_cast<SemWaiter*>(reinterpret_cast<char*>(l) - offsetof(SemWaiter, listener));
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(&w->woken, &expected, kByCancel, false, __ATOMIC_SEQ_CST,
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
    SemWaiter* wake = nullptr;
    light_lock(&s->lock);
    if (__atomic_add_fetch(&s->count, 1, __ATOMIC_SEQ_CST) <= 0 && s->head) {
        SemWaiter* w = s->head;
        s->head = w->next;
        if (s->head)
            s->head->prev = nullptr;
        else
            s->tail = nullptr;
        __atomic_store_n(&w->granted, 1, __ATOMIC_RELAXED);
        int32_t expected = 0;
        if (__atomic_compare_exchange_n(&w->woken, &expected, kByPost, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST))
            wake = w;
    }
    light_unlock(&s->lock);
    // Woken outside the lock, so that the waiter, or a thread that wants the
    // lock, does not run only to find it still held. The claim above keeps
    // the waiter from leaving before this wake has touched its parker.
    if (wake) parker_wake(&wake->parker);
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
        bool woke;
        if (!cancel) {
            woke = parker_wait(&w.parker, timeout_ms, true);
        } else {
            if (!signal_add_listener(cancel, sem_cancel, &w.listener)) {
                w.listener.callback = sem_cancel;
                sem_cancel(&w.listener);
            }
            woke = parker_wait(&w.parker, timeout_ms, true);
            if (!signal_remove_listener(cancel, &w.listener)) {
                while (__atomic_load_n(&w.listener.callback, __ATOMIC_ACQUIRE)) sleep_ms(10);
            }
        }
        // Woken by a post: the poster dequeued and granted this waiter before
        // it claimed the wake, and the wake was its last touch of the waiter,
        // so the lock is not needed to leave.
        if (woke && __atomic_load_n(&w.woken, __ATOMIC_ACQUIRE) == kByPost) {
            if (w.parker.node) node_return(w.parker.pool, w.parker.node);
            return true;
        }
        light_lock(&s->lock);
        // Timed out while a poster claimed the wake: it is on its way to the
        // parker (its wake moves the state from the 0 the time-out left), and
        // the waiter must outlive that.
        if (__atomic_load_n(&w.woken, __ATOMIC_ACQUIRE) == kByPost)
            while (__atomic_load_n(&w.parker.state, __ATOMIC_ACQUIRE) == 0) sleep_ms(0);
        if (!__atomic_load_n(&w.granted, __ATOMIC_RELAXED)) {
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
