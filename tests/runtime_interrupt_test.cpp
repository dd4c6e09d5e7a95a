// An interrupt arrives on a thread of its own and stops the run between two
// files; a closing console is held until the run is done.
#include "app/interrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#ifndef _WIN32
#include "base/test_control.h"
#include "platform/posix/standin.h"

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

TEST(RuntimeInterrupt, CtrlCSetsTheCancelSignalFromAnotherThread) {
    Signal cancel;
    signal_init(&cancel);
    interrupt_install(&cancel);
    EXPECT_FALSE(interrupt_requested());
    EXPECT_TRUE(console_event_for_tests(CTRL_C_EVENT));
    EXPECT_TRUE(signal_is_set(&cancel));
    EXPECT_TRUE(interrupt_requested());
    EXPECT_TRUE(console_event_for_tests(CTRL_BREAK_EVENT)); // a second one is taken too
    interrupt_done();
    // The next run starts without it.
    interrupt_install(nullptr);
    EXPECT_FALSE(interrupt_requested());
    interrupt_done();
}

// The system ends the process once a close handler returns: it returns only
// after the run said it is done.
TEST(RuntimeInterrupt, ClosingConsoleWaitsForTheRun) {
    Signal cancel;
    signal_init(&cancel);
    interrupt_install(&cancel);
    std::atomic<bool> returned{false};
    std::thread closer([&] {
        console_event_for_tests(CTRL_CLOSE_EVENT);
        returned.store(true);
    });
    while (!signal_is_set(&cancel)) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(returned.load());
    interrupt_done();
    closer.join();
    EXPECT_TRUE(returned.load());
}

constexpr DWORD kNoEvent = 0xFFFFFFFF;
std::atomic<int> g_events{0};
std::atomic<DWORD> g_seen[16];

BOOL WINAPI note_event(DWORD event) {
    g_seen[g_events.load() % 16].store(event);
    g_events.fetch_add(1);
    return TRUE;
}

// Sends each signal as another process would and checks the event it turned
// into, in order (the program ignores SIGPIPE, and a shell SIGINT and
// SIGQUIT of a background job: they are taken all the same). A write to a
// closed pipe must fail and reach no handler, as the next row shows: a
// stray event would come first. Exits 0 when all rows held.
[[noreturn]] void take_each_signal() {
    signal(SIGPIPE, SIG_IGN);
    SetConsoleCtrlHandler(note_event, TRUE);
    struct Row {
        int sig; // 0: write to a closed pipe
        DWORD event;
    } rows[] = {
        {SIGINT, CTRL_C_EVENT},  {SIGQUIT, CTRL_BREAK_EVENT}, {SIGHUP, CTRL_CLOSE_EVENT},
        {SIGUSR1, CTRL_C_EVENT}, {SIGUSR2, CTRL_C_EVENT},     {SIGTERM, CTRL_SHUTDOWN_EVENT},
        {0, kNoEvent},           {SIGALRM, CTRL_C_EVENT},     {SIGVTALRM, CTRL_C_EVENT},
        {SIGPROF, CTRL_C_EVENT}, {SIGXCPU, CTRL_C_EVENT},     {SIGPIPE, CTRL_C_EVENT},
    };
    int taken = 0;
    for (const Row& r : rows) {
        if (r.sig) {
            kill(getpid(), r.sig);
        } else {
            int fds[2];
            if (pipe(fds) != 0 || dup2(fds[1], 1) != 1) _exit(2);
            close(fds[0]);
            DWORD n = 0;
            if (WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "x", 1, &n, nullptr) ||
                GetLastError() != ERROR_NO_DATA) {
                fprintf(stderr, "the write to a closed pipe did not fail as it should\n");
                _exit(1);
            }
        }
        if (r.event == kNoEvent) continue;
        while (g_events.load() == taken) sched_yield();
        if (g_seen[taken % 16].load() != r.event || standin::interrupt_signal() != r.sig) {
            fprintf(stderr, "signal %d became event %lu (of signal %d)\n", r.sig,
                    static_cast<unsigned long>(g_seen[taken % 16].load()),
                    standin::interrupt_signal());
            _exit(1);
        }
        ++taken;
    }
    _exit(g_events.load() == taken ? 0 : 1);
}

TEST(RuntimeInterruptDeathTest, EverySignalThatWouldEndTheProcessBecomesAnEvent) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(take_each_signal(), ::testing::ExitedWithCode(0), "");
}

} // namespace
#endif
