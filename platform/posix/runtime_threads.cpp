// Threads: a POSIX thread behind a thread object whose handle is signalled
// when the thread ends. The object is shared by the handle and the running
// thread and freed when both have let go of it.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <climits>
#include <cstdlib>
#include <pthread.h>

namespace standin {
namespace {

struct ThreadState {
    Waitable state; // first: waits find it through the object's `extra`
    WaitBlock* block;
    LPTHREAD_START_ROUTINE start;
    void* parameter;
    int32_t refs; // the handle and the thread
    int priority;
};

void state_release(ThreadState* st) {
    if (__atomic_sub_fetch(&st->refs, 1, __ATOMIC_ACQ_REL) != 0) return;
    wait_block_free(st->block);
    free(st);
}

// Signals the thread object when the thread ends, however it ends (its
// start routine returns or it calls ExitThread).
struct ThreadEnd {
    ThreadState* st = nullptr;
    ~ThreadEnd() {
        if (!st) return;
        wait_block_adopt(nullptr); // it may go with the thread object now
        waitable_signal(&st->state, true);
        state_release(st);
    }
};
thread_local ThreadEnd t_end;

void* thread_main(void* p) {
    ThreadState* st = static_cast<ThreadState*>(p);
    wait_block_adopt(st->block);
    t_end.st = st;
    st->start(st->parameter);
    return nullptr;
}

} // namespace

WaitBlock* thread_wait_block_of(HANDLE thread) {
    Object* obj = handle_lookup(thread);
    if (!obj || obj->kind != ObjKind::Thread) return nullptr;
    return static_cast<ThreadState*>(obj->extra)->block;
}

void thread_object_release(Object* obj) {
    state_release(static_cast<ThreadState*>(obj->extra));
    obj->extra = nullptr;
}

} // namespace standin

using namespace standin;

extern "C" {

HANDLE WINAPI CreateThread(SECURITY_ATTRIBUTES*, SIZE_T stack_size, LPTHREAD_START_ROUTINE start,
                           LPVOID parameter, DWORD flags, LPDWORD thread_id) {
    CALL_LOG_NOTE(last_stack_size, stack_size);
    CALL_LOG_NOTE(last_thread_flags, flags);
    FaultRule rule;
    if (fault_take(FAULT_THREAD, 0, &rule)) {
        set_last_error(rule.error ? rule.error : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    ThreadState* st = static_cast<ThreadState*>(calloc(1, sizeof(ThreadState)));
    Object* obj = static_cast<Object*>(calloc(1, sizeof(Object)));
    if (!st || !obj || !start) {
        free(st);
        free(obj);
        set_last_error(start ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    st->block = wait_block_new();
    st->start = start;
    st->parameter = parameter;
    st->refs = 2;
    obj->kind = ObjKind::Thread;
    obj->fd = -1;
    obj->access = 0x1FFFFF; // THREAD_ALL_ACCESS
    obj->extra = st;
    HANDLE h = handle_insert(obj);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Windows commits or reserves at least 64 KiB; the sanitizers need room too.
    if (stack_size != 0) {
        SIZE_T size = stack_size < 0x40000 ? 0x40000 : stack_size;
        pthread_attr_setstacksize(&attr, size);
    }
    pthread_t pt;
    int e = pthread_create(&pt, &attr, thread_main, st);
    pthread_attr_destroy(&attr);
    if (e != 0) {
        st->refs = 1; // the handle's only
        NtClose(h);
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    CALL_LOG_COUNT(threads_created, 1);
    if (thread_id) *thread_id = 0; // not known until the thread runs
    return h;
}

void WINAPI ExitThread(DWORD) {
    pthread_exit(nullptr);
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    if (thread != GetCurrentThread()) {
        Object* obj = handle_lookup(thread);
        if (!obj || obj->kind != ObjKind::Thread) {
            set_last_error(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        __atomic_store_n(&static_cast<ThreadState*>(obj->extra)->priority, priority,
                         __ATOMIC_RELAXED);
    } else if (t_end.st) {
        __atomic_store_n(&t_end.st->priority, priority, __ATOMIC_RELAXED);
    }
    CALL_LOG_NOTE(last_priority, priority);
    return TRUE;
}

} // extern "C"
