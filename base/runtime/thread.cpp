#include "base/runtime/thread.h"

#include "base/alloc.h"
#include "base/runtime/record.h"
#include "base/runtime/semaphore.h"
#include "base/runtime/signal.h"

namespace {

constexpr uint32_t kPoolStackSize = 0x30000;

bool is_finished(const ThreadRecord* t) {
    return __atomic_load_n(&t->finished_epoch, __ATOMIC_ACQUIRE) != 0;
}

HANDLE handle_of(const ThreadRecord* t) {
    return __atomic_load_n(&t->handle, __ATOMIC_ACQUIRE);
}

LARGE_INTEGER relative_ms(int64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

DWORD WINAPI thread_entry(void* p) {
    ThreadRecord* t = static_cast<ThreadRecord*>(p);
    t->entry(t->argument);
    // Raised only now, so that the last steps (the hook, the registry) are
    // not held up once the work is done.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    thread_finish(t);
    return 0;
}

// Waits until the thread of a record has exited, closes its handle; a thread
// that ended without finishing is finished here. A finished thread that has
// not exited yet is given five epoch steps of 10 ms.
void join(RuntimeRecord* r, ThreadRecord* t) {
    HANDLE h;
    while (!(h = handle_of(t))) {
        if (is_finished(t)) return; // never created
        sleep_ms(5);                // still being created
    }
    LARGE_INTEGER zero = relative_ms(0), t50 = relative_ms(50), t10 = relative_ms(10);
    for (;;) {
        bool exited = NtWaitForSingleObject(h, FALSE, &zero) == STATUS_SUCCESS;
        if (!exited && !is_finished(t))
            exited = NtWaitForSingleObject(h, FALSE, &t50) == STATUS_SUCCESS;
        if (exited) {
            if (!is_finished(t)) thread_finish(t);
            break;
        }
        if (!is_finished(t)) continue;
        while (__atomic_load_n(&r->epoch, __ATOMIC_ACQUIRE) - t->finished_epoch < 5) {
            NTSTATUS s = NtWaitForSingleObject(h, FALSE, &t10);
            if (s != STATUS_TIMEOUT) break;
            __atomic_add_fetch(&r->epoch, 1, __ATOMIC_SEQ_CST);
        }
        break;
    }
    CloseHandle(h);
    __atomic_store_n(&t->handle, nullptr, __ATOMIC_RELEASE);
}

// --- the pool ---------------------------------------------------------------------

struct PoolWorker {
    void (*job)(void*);
    void* argument;
    Semaphore sem;
    PoolWorker* next;
};

struct HandOver {
    void (*job)(void*);
    void* argument;
    Semaphore sem;
};

int32_t g_pool_started = 0;
uint8_t g_pool_shutdown = 0;
SignalListener g_pool_listener;
LightLock g_pool_lock;
PoolWorker* g_idle = nullptr; // most recently idle first

void worker_main(void* p) {
    HandOver* h = static_cast<HandOver*>(p);
    PoolWorker w{h->job, h->argument, {}, nullptr};
    sem_post(&h->sem); // the hand-over record may go from here on
    do {
        w.job(w.argument);
        w.job = nullptr;
        light_lock(&g_pool_lock);
        if (g_pool_shutdown) {
            sem_post(&w.sem); // the coming wait returns at once
        } else {
            w.next = g_idle;
            g_idle = &w;
        }
        light_unlock(&g_pool_lock);
        sem_wait(&w.sem, nullptr, -1);
    } while (w.job);
}

} // namespace

bool thread_start(void (*entry)(void*), void* argument, void (*finish_hook)(void*),
                  void* hook_value, uint32_t stack_size) {
    RuntimeRecord* r = runtime_ensure();
    if (!r) return false;
    ThreadRecord* t = static_cast<ThreadRecord*>(mem_calloc(1, sizeof(ThreadRecord)));
    if (!t) return false;
    t->entry = entry;
    t->argument = argument;
    t->finish_hook = finish_hook;
    t->hook_value = hook_value;

    ThreadRecord* reaped = nullptr;
    EnterCriticalSection(&r->registry_lock);
    t->next = r->threads;
    r->threads = t;
    ++r->record_count;
    // Reap only when more than half the records (plus two) are finished,
    // and never once exit-time teardown has begun.
    if (!signal_is_set(signal_number(5)) && r->finished_count > r->record_count / 2 + 2) {
        for (ThreadRecord** p = &r->threads; *p;) {
            ThreadRecord* c = *p;
            if (handle_of(c) && is_finished(c)) {
                *p = c->next;
                c->next = reaped;
                reaped = c;
                --r->record_count;
                --r->finished_count;
            } else {
                p = &c->next;
            }
        }
    }
    LeaveCriticalSection(&r->registry_lock);

    DWORD flags = stack_size ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
    HANDLE h = CreateThread(nullptr, stack_size, thread_entry, t, flags, nullptr);
    bool started = h != nullptr;
    if (started) {
        __atomic_store_n(&t->handle, h, __ATOMIC_RELEASE);
    } else {
        // Left in the registry, finished, for threads_reap_all to free.
        t->finish_hook = nullptr;
        thread_finish(t);
    }
    while (reaped) {
        ThreadRecord* next = reaped->next;
        join(r, reaped);
        mem_free(reaped);
        reaped = next;
    }
    return started;
}

void thread_finish(ThreadRecord* t) {
    if (t->finish_hook) t->finish_hook(t->hook_value);
    RuntimeRecord* r = runtime_record();
    if (!r) return;
    EnterCriticalSection(&r->registry_lock);
    __atomic_store_n(&t->finished_epoch, __atomic_load_n(&r->epoch, __ATOMIC_ACQUIRE),
                     __ATOMIC_RELEASE);
    ++r->finished_count;
    LeaveCriticalSection(&r->registry_lock);
}

void threads_reap_all() {
    RuntimeRecord* r = runtime_record();
    if (!r) return;
    signal_set(signal_number(5)); // the pool and the alarm thread let go now
    EnterCriticalSection(&r->registry_lock);
    while (ThreadRecord* t = r->threads) {
        r->threads = t->next;
        --r->record_count;
        LeaveCriticalSection(&r->registry_lock);
        join(r, t);
        mem_free(t);
        EnterCriticalSection(&r->registry_lock);
        --r->finished_count;
    }
    LeaveCriticalSection(&r->registry_lock);
    signal_set(signal_number(6));
}

bool pool_run(void (*job)(void*), void* argument) {
    light_lock(&g_pool_lock);
    PoolWorker* w = g_idle;
    if (w) g_idle = w->next;
    light_unlock(&g_pool_lock);
    if (w) {
        w->job = job;
        w->argument = argument;
        sem_post(&w->sem);
        return true;
    }
    int32_t expected = 0;
    if (__atomic_compare_exchange_n(&g_pool_started, &expected, 1, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
        if (!signal_add_listener(signal_number(5), pool_shutdown, &g_pool_listener)) {
            g_pool_listener.callback = pool_shutdown;
            pool_shutdown(&g_pool_listener);
        }
    }
    HandOver h{job, argument, {}};
    if (!thread_start(worker_main, &h, nullptr, nullptr, kPoolStackSize)) return false;
    sem_wait(&h.sem, nullptr, -1);
    return true;
}

void pool_shutdown(SignalListener*) {
    light_lock(&g_pool_lock);
    PoolWorker* idle = g_idle;
    g_idle = nullptr;
    g_pool_shutdown = 1;
    light_unlock(&g_pool_lock);
    while (idle) {
        PoolWorker* next = idle->next; // the worker may be gone once posted
        sem_post(&idle->sem);
        idle = next;
    }
}
