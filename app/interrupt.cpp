#include "app/interrupt.h"

#include "platform/nt.h"

#include <atomic>

namespace {

std::atomic<Signal*> g_cancel{nullptr};
std::atomic<bool> g_requested{false};
std::atomic<bool> g_done{false};
std::atomic<bool> g_installed{false};

// Runs on a thread of its own, which the system starts for the event.
BOOL WINAPI on_control(DWORD type) {
    g_requested.store(true);
    Signal* cancel = g_cancel.load();
    if (cancel) signal_set(cancel);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process once this returns: hold it until the
        // file in hand is done and the summary is out.
        while (!g_done.load()) Sleep(10);
    }
    return TRUE; // taken: the process is not ended here, a second event neither
}

} // namespace

void interrupt_install(Signal* cancel) {
    g_done.store(false);
    g_requested.store(false);
    g_cancel.store(cancel);
    if (!g_installed.exchange(true)) SetConsoleCtrlHandler(on_control, TRUE);
}

bool interrupt_requested() {
    return g_requested.load();
}

void interrupt_done() {
    g_cancel.store(nullptr);
    g_done.store(true);
}
