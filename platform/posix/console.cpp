// Console control events. While a handler is installed, every signal whose
// default ends the process, faults and SIGKILL aside, is taken as one:
//   SIGINT                                    Ctrl-C          CTRL_C_EVENT
//   SIGQUIT                                   Ctrl-Break      CTRL_BREAK_EVENT
//   SIGHUP                                    console closed  CTRL_CLOSE_EVENT
//   SIGTERM                                   shutdown        CTRL_SHUTDOWN_EVENT
//   SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM,     a plain interrupt, as Ctrl-C
//   SIGPROF, SIGXCPU, SIGPIPE
// The runtime uses none of these (its alarm is a thread, its waits are
// condition variables, its reads poll a descriptor), so all are free to take.
// The program ignores SIGPIPE so that a write to a closed pipe fails: one
// that another process sends is taken like the others, but when no handler
// takes it, it stays ignored. A write's own SIGPIPE is meant for the writing
// thread, which keeps it blocked: it never reaches the handlers.
// As on Windows, the handlers run on a thread of their own: the signals are
// blocked everywhere else and one thread takes them with sigwait, so no
// handler ever runs inside a signal handler or cuts a system call of the
// working threads short.
#include "platform/posix/standin.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace {

constexpr int kMaxHandlers = 8;

std::mutex g_lock;
PHANDLER_ROUTINE g_handlers[kMaxHandlers];
int g_count;
bool g_started;
std::atomic<int> g_last_signal{0};
sigset_t g_taken; // made before the dispatcher starts

struct Taken {
    int sig;
    DWORD event;
};
constexpr Taken kTaken[] = {
    {SIGINT, CTRL_C_EVENT},         {SIGQUIT, CTRL_BREAK_EVENT}, {SIGHUP, CTRL_CLOSE_EVENT},
    {SIGTERM, CTRL_SHUTDOWN_EVENT}, {SIGUSR1, CTRL_C_EVENT},     {SIGUSR2, CTRL_C_EVENT},
    {SIGALRM, CTRL_C_EVENT},        {SIGVTALRM, CTRL_C_EVENT},   {SIGPROF, CTRL_C_EVENT},
    {SIGXCPU, CTRL_C_EVENT},        {SIGPIPE, CTRL_C_EVENT},
};

void make_taken_set() {
    sigemptyset(&g_taken);
    for (const Taken& t : kTaken) sigaddset(&g_taken, t.sig);
}

DWORD event_of(int sig) {
    for (const Taken& t : kTaken)
        if (t.sig == sig) return t.event;
    return CTRL_C_EVENT;
}

// Asks the handlers, newest first; true when one took the event.
bool deliver(DWORD event) {
    PHANDLER_ROUTINE chain[kMaxHandlers];
    int n;
    {
        std::lock_guard<std::mutex> g(g_lock);
        n = g_count;
        for (int i = 0; i < n; ++i) chain[i] = g_handlers[i];
    }
    bool handled = false;
    for (int i = n - 1; i >= 0 && !handled; --i) handled = chain[i](event);
    return handled;
}

void* dispatcher(void*) {
    for (;;) {
        int sig = 0;
        if (sigwait(&g_taken, &sig) != 0) continue;
        g_last_signal.store(sig);
        if (!deliver(event_of(sig)) && sig != SIGPIPE) {
            // What the system does when nobody takes the event: the process ends,
            // here as the signal's own default would end it.
            signal(sig, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &g_taken, nullptr);
            raise(sig);
            _exit(128 + sig);
        }
    }
    return nullptr;
}

} // namespace

namespace standin {

int interrupt_signal() {
    return g_last_signal.load();
}

} // namespace standin

#ifdef EOLSET_TEST_HOOKS
bool console_event_for_tests(DWORD event) {
    struct Call {
        DWORD event;
        bool handled;
    } call{event, false};
    pthread_t t;
    auto run = [](void* p) -> void* {
        Call* c = static_cast<Call*>(p);
        c->handled = deliver(c->event);
        return nullptr;
    };
    if (pthread_create(&t, nullptr, run, &call) != 0) return false;
    pthread_join(t, nullptr);
    return call.handled;
}
#endif

extern "C" BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    std::lock_guard<std::mutex> g(g_lock);
    if (!handler) {
        standin::set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!add) {
        for (int i = 0; i < g_count; ++i) {
            if (g_handlers[i] != handler) continue;
            for (int j = i + 1; j < g_count; ++j) g_handlers[j - 1] = g_handlers[j];
            --g_count;
            return TRUE;
        }
        standin::set_last_error(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (g_count == kMaxHandlers) {
        standin::set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (!g_started) {
        // Blocked here, and so in every thread started from now on.
        make_taken_set();
        pthread_sigmask(SIG_BLOCK, &g_taken, nullptr);
        pthread_t t;
        if (pthread_create(&t, nullptr, dispatcher, nullptr) != 0) {
            pthread_sigmask(SIG_UNBLOCK, &g_taken, nullptr);
            standin::set_last_error(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        pthread_detach(t);
        g_started = true;
    }
    g_handlers[g_count++] = handler;
    return TRUE;
}
