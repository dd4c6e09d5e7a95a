// Synchronisation: thread ids, kernel events, waits, delays, asynchronous
// procedure calls and critical sections.
//
// Every thread owns one wait block: a futex word beside fields guarded by the
// one lock of this file. A wait links the block to the object it waits on
// and sleeps on the word outside the lock; setting the object bumps the
// words of the blocks linked to it, and queueing a procedure call to a
// thread bumps that thread's word, so an alertable wait can run the call.
// The sleeper is woken after the lock is let go, so that it does not wake
// only to block on the lock its waker still holds. Blocks are recycled,
// never freed, which makes a wake that comes late harmless: its sleeper
// looks again at what it waits for and sleeps on.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace standin {

struct ApcEntry {
    PAPCFUNC routine;
    ULONG_PTR data;
    ApcEntry* next;
};

struct WaitBlock {
    uint32_t word;        // the futex word: every wake adds one
    Waitable* waiting_on; // the object this thread waits on, or null
    WaitBlock* next;      // the next block waiting on the same object
    ApcEntry* apc_head;   // queued procedure calls, oldest first
    ApcEntry* apc_tail;
    WaitBlock* free_next; // on the free list once its thread has let go of it
};

namespace {

std::mutex g_sync;        // guards every Waitable and every wait block's fields but the word
WaitBlock* g_free_blocks; // guarded by g_sync

// Marks a wake under g_sync; the sleeper is woken by wake_block, after it.
void mark_wake(WaitBlock* wb) {
    __atomic_fetch_add(&wb->word, 1, __ATOMIC_RELEASE);
}

void wake_block(WaitBlock* wb) {
    syscall(SYS_futex, &wb->word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Sleeps until the word moves from `seen`, a wake comes, or `rel` passes.
void sleep_on_block(WaitBlock* wb, uint32_t seen, const timespec* rel) {
    syscall(SYS_futex, &wb->word, FUTEX_WAIT_PRIVATE, seen, rel, nullptr, 0);
}

// Wakes that can be carried out of the lock; more are woken under it.
struct Wakes {
    WaitBlock* blocks[8];
    int count = 0;
    void add(WaitBlock* wb) {
        mark_wake(wb);
        if (count < 8)
            blocks[count++] = wb;
        else
            wake_block(wb);
    }
    void run() {
        for (int i = 0; i < count; ++i) wake_block(blocks[i]);
    }
};

// Unlinks a block from the waiters of the object it waits on.
void unlink_waiter(WaitBlock* wb) {
    Waitable* w = wb->waiting_on;
    if (!w) return;
    for (WaitBlock** p = &w->waiters; *p; p = &(*p)->next) {
        if (*p == wb) {
            *p = wb->next;
            break;
        }
    }
    wb->waiting_on = nullptr;
    wb->next = nullptr;
}

// Takes the queued calls of a block (caller holds g_sync).
ApcEntry* take_apcs(WaitBlock* wb) {
    ApcEntry* list = wb->apc_head;
    wb->apc_head = wb->apc_tail = nullptr;
    return list;
}

void free_apcs(ApcEntry* list) {
    while (list) {
        ApcEntry* next = list->next;
        free(list);
        list = next;
    }
}

// A recycled block, or a new one. Calls queued to a block after its thread
// let go of it are dropped: they were meant for a thread that is gone.
WaitBlock* block_new() {
    WaitBlock* wb = nullptr;
    ApcEntry* stale = nullptr;
    {
        std::lock_guard<std::mutex> g(g_sync);
        wb = g_free_blocks;
        if (wb) {
            g_free_blocks = wb->free_next;
            wb->free_next = nullptr;
            stale = take_apcs(wb);
        }
    }
    free_apcs(stale);
    return wb ? wb : new WaitBlock{};
}

using Clock = std::chrono::steady_clock;

// Runs the calls in the order they were queued, outside the lock.
void run_apcs(ApcEntry* list) {
    while (list) {
        ApcEntry* next = list->next;
        list->routine(list->data);
        free(list);
        list = next;
    }
}

// The moment a native time-out ends; false when it never does.
bool deadline_of(const LARGE_INTEGER* timeout, Clock::time_point* out) {
    if (!timeout || timeout->QuadPart == kNtWaitForever) return false;
    int64_t t = timeout->QuadPart;
    int64_t rel100ns;
    if (t <= 0) {
        rel100ns = -t;
    } else {
        // Absolute: 100-ns units since 1601, against the wall clock.
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t now_nt = nt_time_from_unix(now.tv_sec, now.tv_nsec);
        rel100ns = t > now_nt ? t - now_nt : 0;
    }
    // Keep far deadlines from overflowing the clock's range.
    constexpr int64_t kCap = int64_t(100) * 365 * 24 * 3600 * 10000000;
    if (rel100ns > kCap) return false;
    *out = Clock::now() + std::chrono::nanoseconds(rel100ns * 100);
    return true;
}

// The heart of every wait: on `w` (or on nothing, for a delay) until it is
// signalled, the deadline passes, or (when alertable) a call is queued.
NTSTATUS wait_on(Waitable* w, bool alertable, const LARGE_INTEGER* timeout) {
    Clock::time_point deadline;
    bool finite = deadline_of(timeout, &deadline);
    bool zero = timeout && timeout->QuadPart == 0;
    WaitBlock* wb = thread_wait_block();
    std::unique_lock<std::mutex> g(g_sync);
    NTSTATUS result = STATUS_TIMEOUT;
    for (;;) {
        if (alertable && wb->apc_head) {
            unlink_waiter(wb);
            ApcEntry* list = take_apcs(wb);
            g.unlock();
            run_apcs(list);
            return STATUS_USER_APC;
        }
        if (w && w->signalled) {
            if (w->auto_reset) w->signalled = false;
            result = STATUS_SUCCESS;
            break;
        }
        if (zero || (finite && Clock::now() >= deadline)) {
            result = w ? STATUS_TIMEOUT : STATUS_SUCCESS;
            break;
        }
        if (w && wb->waiting_on != w) {
            wb->waiting_on = w;
            wb->next = w->waiters;
            w->waiters = wb;
        }
        uint32_t seen = __atomic_load_n(&wb->word, __ATOMIC_ACQUIRE);
        g.unlock();
        if (finite) {
            int64_t left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now())
                    .count();
            if (left < 0) left = 0;
            timespec rel{static_cast<time_t>(left / 1000000000),
                         static_cast<long>(left % 1000000000)};
            sleep_on_block(wb, seen, &rel);
        } else {
            sleep_on_block(wb, seen, nullptr);
        }
        g.lock();
    }
    unlink_waiter(wb);
    return result;
}

Waitable* waitable_of(HANDLE h, NTSTATUS* status) {
    Object* obj = handle_lookup(h);
    if (!obj) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if (obj->kind != ObjKind::Event && obj->kind != ObjKind::Thread) {
        *status = STATUS_OBJECT_TYPE_MISMATCH;
        return nullptr;
    }
    return static_cast<Waitable*>(obj->extra);
}

thread_local DWORD t_thread_id = 0;

// The calling thread's wait block. A block the thread made itself is freed
// by a key destructor when the thread ends; the main thread's never is, as
// exit handlers still wait after its thread-local destructors have run. A
// block made for a thread object belongs to that object.
thread_local WaitBlock* t_wait_block = nullptr;
pthread_key_t g_block_key;
pthread_once_t g_block_key_once = PTHREAD_ONCE_INIT;

void block_key_destructor(void* p) {
    WaitBlock* wb = static_cast<WaitBlock*>(p);
    {
        std::lock_guard<std::mutex> g(g_sync);
        unlink_waiter(wb);
    }
    t_wait_block = nullptr;
    wait_block_free(wb);
}

void make_block_key() {
    pthread_key_create(&g_block_key, block_key_destructor);
}

} // namespace

WaitBlock* thread_wait_block() {
    if (t_wait_block) return t_wait_block;
    WaitBlock* wb = block_new();
    pthread_once(&g_block_key_once, make_block_key);
    pthread_setspecific(g_block_key, wb);
    return t_wait_block = wb;
}

void waitable_signal(Waitable* w, bool signalled) {
    Wakes wakes;
    {
        std::lock_guard<std::mutex> g(g_sync);
        w->signalled = signalled;
        if (!signalled) return;
        for (WaitBlock* wb = w->waiters; wb; wb = wb->next) wakes.add(wb);
    }
    wakes.run();
}

bool queue_apc(WaitBlock* wb, PAPCFUNC routine, ULONG_PTR data) {
    ApcEntry* e = static_cast<ApcEntry*>(malloc(sizeof(ApcEntry)));
    if (!e) return false;
    *e = ApcEntry{routine, data, nullptr};
    {
        std::lock_guard<std::mutex> g(g_sync);
        if (wb->apc_tail)
            wb->apc_tail->next = e;
        else
            wb->apc_head = e;
        wb->apc_tail = e;
        mark_wake(wb);
    }
    wake_block(wb);
    return true;
}

WaitBlock* wait_block_new() {
    return block_new();
}

void wait_block_free(WaitBlock* wb) {
    ApcEntry* list;
    {
        std::lock_guard<std::mutex> g(g_sync);
        unlink_waiter(wb);
        list = take_apcs(wb);
        wb->free_next = g_free_blocks;
        g_free_blocks = wb;
    }
    free_apcs(list);
}

void wait_block_adopt(WaitBlock* wb) {
    t_wait_block = wb;
}

} // namespace standin

using namespace standin;

extern "C" {

// Cached per thread: the locks ask for it on every call.
DWORD WINAPI GetCurrentThreadId(void) {
    DWORD id = t_thread_id;
    if (id == 0) id = t_thread_id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

HANDLE WINAPI GetCurrentThread(void) {
    return reinterpret_cast<HANDLE>(intptr_t(-2));
}

NTSTATUS NTAPI NtCreateEvent(HANDLE* handle, ACCESS_MASK access, NtObjectAttributes*, ULONG type,
                             BOOLEAN initial) {
    FaultRule rule;
    if (fault_take(FAULT_EVENT, 0, &rule)) return rule.status;
    if (!handle || type > SynchronizationEvent) return STATUS_INVALID_PARAMETER;
    Waitable* ev = static_cast<Waitable*>(calloc(1, sizeof(Waitable)));
    Object* obj = static_cast<Object*>(calloc(1, sizeof(Object)));
    if (!ev || !obj) {
        free(ev);
        free(obj);
        return STATUS_NO_MEMORY;
    }
    ev->auto_reset = type == SynchronizationEvent;
    ev->signalled = initial != 0;
    obj->kind = ObjKind::Event;
    obj->fd = -1;
    obj->access = access;
    obj->extra = ev;
    *handle = handle_insert(obj);
    CALL_LOG_COUNT(events_created, 1);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtSetEvent(HANDLE handle, LONG* previous) {
    Object* obj = handle_lookup(handle);
    if (!obj) return STATUS_INVALID_HANDLE;
    if (obj->kind != ObjKind::Event) return STATUS_OBJECT_TYPE_MISMATCH;
    Waitable* w = static_cast<Waitable*>(obj->extra);
    if (previous) {
        std::lock_guard<std::mutex> g(g_sync);
        *previous = w->signalled;
    }
    waitable_signal(w, true);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtClearEvent(HANDLE handle) {
    Object* obj = handle_lookup(handle);
    if (!obj) return STATUS_INVALID_HANDLE;
    if (obj->kind != ObjKind::Event) return STATUS_OBJECT_TYPE_MISMATCH;
    waitable_signal(static_cast<Waitable*>(obj->extra), false);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, LARGE_INTEGER* timeout) {
    NTSTATUS status = STATUS_SUCCESS;
    Waitable* w = waitable_of(handle, &status);
    if (!w) return status;
    return wait_on(w, alertable != 0, timeout);
}

NTSTATUS NTAPI NtDelayExecution(BOOLEAN alertable, LARGE_INTEGER* interval) {
    if (!interval) return STATUS_ACCESS_DENIED; // Windows faults on the null pointer
    if (!alertable && interval->QuadPart == 0) {
        sched_yield();
        return STATUS_SUCCESS;
    }
    return wait_on(nullptr, alertable != 0, interval);
}

DWORD WINAPI QueueUserAPC(PAPCFUNC routine, HANDLE thread, ULONG_PTR data) {
    WaitBlock* wb = nullptr;
    if (thread == GetCurrentThread()) wb = thread_wait_block();
    if (!wb) wb = thread_wait_block_of(thread);
    if (!wb || !routine) {
        set_last_error(ERROR_INVALID_HANDLE);
        return 0;
    }
    return queue_apc(wb, routine, data) ? 1 : 0;
}

// The lock itself lives in LockSemaphore: a recursive POSIX mutex.
void WINAPI InitializeCriticalSection(CRITICAL_SECTION* cs) {
    *cs = CRITICAL_SECTION{};
    cs->LockCount = -1;
    auto* m = static_cast<pthread_mutex_t*>(malloc(sizeof(pthread_mutex_t)));
    if (!m) abort(); // Windows raises an exception here; nothing can go on
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
    cs->LockSemaphore = m;
}

void WINAPI EnterCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(cs->LockSemaphore));
    cs->OwningThread = reinterpret_cast<HANDLE>(uintptr_t(GetCurrentThreadId()));
    ++cs->RecursionCount;
}

void WINAPI LeaveCriticalSection(CRITICAL_SECTION* cs) {
    if (--cs->RecursionCount == 0) cs->OwningThread = nullptr;
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(cs->LockSemaphore));
}

void WINAPI DeleteCriticalSection(CRITICAL_SECTION* cs) {
    auto* m = static_cast<pthread_mutex_t*>(cs->LockSemaphore);
    if (m) {
        pthread_mutex_destroy(m);
        free(m);
    }
    cs->LockSemaphore = nullptr;
}

} // extern "C"
