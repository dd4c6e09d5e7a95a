#include "base/runtime/tick.h"
#include "base/test_control.h"
#include "platform/nt.h"
#include "tests/runtime_support.h"
#ifndef _WIN32
#endif

#include <gtest/gtest.h>

#include <vector>

namespace {

// What the 32-bit count reads now; moved on by the test between calls.
std::atomic<uint32_t> g_reading{0};
uint32_t current_reading() {
    return g_reading;
}

// tick_now at each reading in turn, starting from a fresh wrap base.
std::vector<uint64_t> ticks_at(std::vector<uint32_t> readings) {
    tick_test_reset(current_reading);
    std::vector<uint64_t> out;
    for (uint32_t r : readings) {
        g_reading = r;
        out.push_back(tick_now());
    }
    tick_test_reset(nullptr);
    return out;
}

TEST(RuntimeTickTest, SystemCountWhenPresent) {
    tick_test_reset(nullptr);
    uint64_t a = tick_now();
    uint64_t b = GetTickCount64();
    uint64_t c = tick_now();
    EXPECT_LE(a, b);
    EXPECT_LE(b, c);
    EXPECT_EQ(tick_test_wrap_base(), 0u);
}

TEST(RuntimeTickTest, FallbackExtendsAcrossBothHalfCycleBoundaries) {
    EXPECT_EQ(ticks_at({0x7FFFFFFF, 0x80000000}), (std::vector<uint64_t>{0x7FFFFFFF, 0x80000000}));
    EXPECT_EQ(tick_test_wrap_base(), 0u); // reset after the run
    EXPECT_EQ(ticks_at({0xFFFFFFF0, 0x00000005}), (std::vector<uint64_t>{0xFFFFFFF0, 0x100000005}));
    EXPECT_EQ(ticks_at({0x80000010}), (std::vector<uint64_t>{0x80000010}));
    // Two full turns of the 32-bit count, seen often enough.
    EXPECT_EQ(ticks_at({10, 0x90000000, 0x10, 0x90000000, 0x10}),
              (std::vector<uint64_t>{10, 0x90000000, 0x100000010, 0x190000000, 0x200000010}));
}

uint32_t past_boundary() {
    return 0x80000001;
}

TEST(RuntimeTickTest, ThreadsCrossingTogetherAdvanceOnce) {
    for (int round = 0; round < 20; ++round) {
        tick_test_reset(past_boundary);
        std::atomic<int> ready{0};
        std::vector<uint64_t> seen(4);
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] {
                ++ready;
                while (ready < 4) std::this_thread::yield();
                seen[i] = tick_now();
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(tick_test_wrap_base(), 0x80000000u);
        for (uint64_t v : seen) EXPECT_EQ(v, 0x80000001u);
    }
    tick_test_reset(nullptr);
}

#ifndef _WIN32
// Through the stand-in: kernel32 without GetTickCount64, and chosen readings.
TEST(RuntimeTickTest, StandinWithoutTheSixtyFourBitCount) {
    fault_reset();
    tick_test_reset(nullptr);
    tick_now();
    EXPECT_EQ(g_call_log.tick32_calls, 0u);

    static uint32_t reading = 0xFFFFFFF0;
    fault_hide_tick64(true);
    fault_set_tick(&reading);
    tick_test_reset(nullptr);
    EXPECT_EQ(tick_now(), 0xFFFFFFF0u);
    __atomic_store_n(&reading, 5u, __ATOMIC_RELEASE);
    EXPECT_EQ(tick_now(), 0x100000005u);
    EXPECT_GE(g_call_log.tick32_calls, 2u);
    HMODULE k = GetModuleHandleW(u"KERNEL32.DLL");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(GetProcAddress(k, "GetTickCount64"), nullptr);
    fault_reset();
    EXPECT_NE(GetProcAddress(k, "GetTickCount64"), nullptr);
    EXPECT_EQ(GetModuleHandleW(u"user32"), nullptr);
    tick_test_reset(nullptr);
}
#endif

} // namespace
