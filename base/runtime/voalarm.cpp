#include "base/runtime/voalarm.h"

#include "base/output.h"
#include "base/runtime/record.h"
#include "base/runtime/thread.h"
#include "base/runtime/tick.h"
#ifdef EOLSET_TEST_HOOKS
#include "base/test_control.h"
#endif

#include <cstdlib>

Signal alarm_stop_signal = {&signal_ordinary_ops, 0, {}, nullptr};
Signal alarm_exited_signal = {&signal_ordinary_ops, 0, {}, nullptr};
int32_t (*alarm_idle_hook)() = nullptr;

namespace {

// The name this module's fatal reports carry.
constexpr const char* kModule = "base\\voalarm";
constexpr uint32_t kThreadStack = 0x60000;
constexpr ACCESS_MASK kEventAccess = 0x1F0003;
// The longest wait the kernel takes as a time-out; a longer one waits in
// slices of it, so a far timer still fires on time.
constexpr uint32_t kLongestWait = 0x7FFFFFFE;

uint8_t g_initialised;
uint8_t g_stopped; // guarded by g_lock
SignalListener g_shutdown_listener;
LightLock g_lock;
HANDLE g_event;
TimerNode* g_root; // guarded by g_lock
uint64_t g_wakes;

bool stopped() {
    return __atomic_load_n(&g_stopped, __ATOMIC_ACQUIRE) != 0;
}

// Takes the first timer out of the queue; null when it is empty.
Timer* take_first() {
    TimerNode* first = timer_tree_first(g_root);
    if (!first) return nullptr;
    timer_tree_remove(&g_root, first);
    return timer_of(first);
}

void wait_for_event(uint32_t wait_ms) {
    LARGE_INTEGER t;
    t.QuadPart = -int64_t(wait_ms) * 10000;
    NtWaitForSingleObject(g_event, TRUE, &t);
    NtClearEvent(g_event);
}

void alarm_thread(void*) {
    uint64_t now = 0;
    do {
        if (!now) now = tick_now();
        uint32_t wait = kLongestWait;
        light_lock(&g_lock);
        if (TimerNode* first = timer_tree_first(g_root)) {
            Timer* t = timer_of(first);
            if (now < t->due) {
                uint64_t ahead = t->due - now;
                wait = ahead < kLongestWait ? static_cast<uint32_t>(ahead) : kLongestWait;
            } else {
                timer_tree_remove(&g_root, first);
                light_unlock(&g_lock);
                __atomic_load_n(&t->callback, __ATOMIC_ACQUIRE)(t);
                light_lock(&g_lock);
                wait = 0;
            }
        }
        // Timers not yet due do not hold the thread once it is to stop: the
        // finish hook fires them, so that exit never waits for a far timer.
        if (signal_is_set(&alarm_stop_signal)) {
            int32_t (*idle)() = __atomic_load_n(&alarm_idle_hook, __ATOMIC_ACQUIRE);
            if (!idle || idle()) {
                __atomic_store_n(&g_stopped, 1, __ATOMIC_RELEASE);
                wait = 0;
            }
        }
        light_unlock(&g_lock);
        // Every timer due at the same reading fires in one batch.
        if (wait) {
            wait_for_event(wait);
            now = 0;
        }
    } while (!stopped());
}

// Runs on the alarm thread after its loop: nothing can be queued any more,
// so whatever is still queued fires now, in order.
void alarm_finish(void*) {
    signal_set(&alarm_stop_signal);
    for (;;) {
        // Under the lock, as an owner may still cancel its timer; and the
        // first is taken afresh each time, as a callback may cancel others.
        light_lock(&g_lock);
        Timer* t = take_first();
        light_unlock(&g_lock);
        if (!t) break;
        __atomic_load_n(&t->callback, __ATOMIC_ACQUIRE)(t);
    }
    signal_set(&alarm_exited_signal);
}

void alarm_teardown() {
    alarm_shutdown(nullptr);
    threads_reap_all(); // joins the alarm thread
    signal_wait(&alarm_exited_signal, nullptr, -1);
    NtClose(g_event);
}

void alarm_start() {
    bool initialised_here = false;
    lock_for_address(&g_initialised);
    if (!__atomic_load_n(&g_initialised, __ATOMIC_ACQUIRE)) {
        g_lock = LightLock{};
        if (NtCreateEvent(&g_event, kEventAccess, nullptr, NotificationEvent, FALSE) !=
            STATUS_SUCCESS)
            fatal_report(kModule, 60, nullptr);
        full_barrier();
        __atomic_store_n(&g_initialised, 1, __ATOMIC_RELEASE);
        initialised_here = true;
    }
    unlock_for_address(&g_initialised);
    if (!initialised_here) return;

    atexit(alarm_teardown);
    if (!thread_start(alarm_thread, nullptr, alarm_finish, nullptr, kThreadStack)) {
        light_lock(&g_lock);
        __atomic_store_n(&g_stopped, 1, __ATOMIC_RELEASE);
        light_unlock(&g_lock);
        fatal_report(kModule, 231, "Resource exhaustion initializing alarm thread.\n");
    }
    if (!signal_add_listener(signal_number(5), alarm_shutdown, &g_shutdown_listener))
        alarm_shutdown(&g_shutdown_listener);
}

} // namespace

bool alarm_schedule(Timer* timer, TimerCallback callback, uint64_t due) {
    if (!__atomic_load_n(&g_initialised, __ATOMIC_ACQUIRE)) alarm_start();
    bool wake = false;
    light_lock(&g_lock);
    bool queued = !g_stopped;
    if (queued) {
        timer->due = due;
        __atomic_store_n(&timer->callback, callback, __ATOMIC_RELEASE);
        TimerNode* pred = timer_tree_find_pred(g_root, due);
        timer_tree_insert_after(&g_root, pred, &timer->node);
        wake = !pred;
        if (wake) __atomic_add_fetch(&g_wakes, 1, __ATOMIC_RELAXED);
    }
    light_unlock(&g_lock);
    if (wake) NtSetEvent(g_event, nullptr);
    return queued;
}

bool alarm_cancel(Timer* timer) {
    light_lock(&g_lock);
    bool queued = timer_node_queued(&g_root, &timer->node);
    if (queued) timer_tree_remove(&g_root, &timer->node);
    light_unlock(&g_lock);
    return queued;
}

void alarm_wake() {
    NtSetEvent(g_event, nullptr);
}

void alarm_shutdown(SignalListener*) {
    if (signal_is_set(&alarm_stop_signal)) return;
    signal_set(&alarm_stop_signal);
    NtSetEvent(g_event, nullptr);
}

bool signal_timer_schedule(SignalTimer* st, Signal* signal, uint64_t due) {
    st->signal = signal;
    return alarm_schedule(&st->timer, signal_timer_complete, due);
}

void signal_timer_complete(Timer* timer) {
    SignalTimer* st = reinterpret_cast<SignalTimer*>(timer);
    if (st->signal) signal_set(st->signal);
    full_barrier();
    __atomic_store_n(&timer->callback, nullptr, __ATOMIC_RELEASE);
}

void signal_timer_stop(SignalTimer* st) {
    if (alarm_cancel(&st->timer)) {
        st->signal = nullptr;
        signal_timer_complete(&st->timer);
        return;
    }
    if (alarm_cancel(&st->timer)) {
        st->timer.callback(&st->timer);
        return;
    }
    while (__atomic_load_n(&st->timer.callback, __ATOMIC_ACQUIRE)) sleep_ms(10);
}

#ifdef EOLSET_TEST_HOOKS
uint64_t alarm_test_wakes() {
    return __atomic_load_n(&g_wakes, __ATOMIC_RELAXED);
}
#endif
