// An interrupt arrives on a thread of its own and stops the run between two
// files; a closing console is held until the run is done.
#include "app/interrupt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#ifndef _WIN32
#include "platform/posix/fault.h"

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

} // namespace
#endif
