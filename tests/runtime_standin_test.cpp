// The synchronisation calls the runtime makes, as the system answers them:
// on Linux the stand-in, under Wine the real ntdll and kernel32.
#include "platform/nt.h"
#include "tests/runtime_support.h"
#include "tests/wine.h"
#ifndef _WIN32
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/test_control.h"
#include "tests/scratch.h"

#include <fcntl.h>
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include <vector>

namespace {

LARGE_INTEGER relative_ms(int64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

HANDLE make_event(ULONG type, bool initial) {
    HANDLE ev = nullptr;
    EXPECT_EQ(NtCreateEvent(&ev, kEventAllAccess, nullptr, type, initial), STATUS_SUCCESS);
    return ev;
}

TEST(RuntimeStandinTest, NotificationEventStaysSetUntilCleared) {
    HANDLE ev = make_event(NotificationEvent, false);
    LARGE_INTEGER zero = relative_ms(0);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_TIMEOUT);
    LONG previous = 7;
    EXPECT_EQ(NtSetEvent(ev, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 0);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(NtSetEvent(ev, &previous), STATUS_SUCCESS);
    EXPECT_EQ(previous, 1);
    EXPECT_EQ(NtClearEvent(ev), STATUS_SUCCESS);
    LARGE_INTEGER t = relative_ms(20);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(NtClose(ev), STATUS_SUCCESS);
}

TEST(RuntimeStandinTest, SynchronizationEventReleasesOneWait) {
    HANDLE ev = make_event(SynchronizationEvent, true);
    LARGE_INTEGER zero = relative_ms(0);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_TIMEOUT);
    NtClose(ev);
}

TEST(RuntimeStandinTest, SetFromAnotherThreadWakesEveryWaiter) {
    HANDLE ev = make_event(NotificationEvent, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            if (NtWaitForSingleObject(ev, FALSE, nullptr) == STATUS_SUCCESS) ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(woken, 0);
    NtSetEvent(ev, nullptr);
    for (auto& t : threads) t.join();
    EXPECT_EQ(woken, 3);
    NtClose(ev);
}

void count_call(ULONG_PTR data) {
    ++*reinterpret_cast<int*>(data);
}

TEST(RuntimeStandinTest, AlertableWaitsRunQueuedCalls) {
    HANDLE ev = make_event(NotificationEvent, false);
    int calls = 0;
    ULONG_PTR data = reinterpret_cast<ULONG_PTR>(&calls);
    ASSERT_NE(QueueUserAPC(count_call, GetCurrentThread(), data), 0u);
    ASSERT_NE(QueueUserAPC(count_call, GetCurrentThread(), data), 0u);
    // Not alertable: the calls stay queued.
    LARGE_INTEGER t = relative_ms(5);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &t), STATUS_TIMEOUT);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(NtWaitForSingleObject(ev, TRUE, nullptr), STATUS_USER_APC);
    EXPECT_EQ(calls, 2);
    ASSERT_NE(QueueUserAPC(count_call, GetCurrentThread(), data), 0u);
    LARGE_INTEGER forever;
    forever.QuadPart = kNtWaitForever;
    EXPECT_EQ(NtDelayExecution(TRUE, &forever), STATUS_USER_APC);
    EXPECT_EQ(calls, 3);
    LARGE_INTEGER d = relative_ms(2);
    NTSTATUS elapsed = NtDelayExecution(TRUE, &d);
    if (!(wine_alertable_delay_times_out() && elapsed == STATUS_TIMEOUT)) {
        EXPECT_EQ(elapsed, STATUS_SUCCESS);
    }
    EXPECT_EQ(NtDelayExecution(FALSE, &d), STATUS_SUCCESS);
    NtClose(ev);
}

TEST(RuntimeStandinTest, WaitOnABadHandleFails) {
    LARGE_INTEGER zero = relative_ms(0);
    EXPECT_EQ(NtWaitForSingleObject(reinterpret_cast<HANDLE>(uintptr_t(0x7FFC)), FALSE, &zero),
              STATUS_INVALID_HANDLE);
    HANDLE ev = make_event(NotificationEvent, false);
    NtClose(ev);
    EXPECT_EQ(NtSetEvent(ev, nullptr), STATUS_INVALID_HANDLE);
}

TEST(RuntimeStandinTest, VirtualMemoryIsCommittedAndReleasedWhole) {
    void* base = nullptr;
    SIZE_T size = 10000;
    ASSERT_EQ(
        NtAllocateVirtualMemory(GetCurrentProcess(), &base, 0, &size, MEM_COMMIT, PAGE_READWRITE),
        STATUS_SUCCESS);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(size, 12288u); // whole pages
    static_cast<char*>(base)[size - 1] = 1;
    SIZE_T zero = 0;
    EXPECT_EQ(NtFreeVirtualMemory(GetCurrentProcess(), &base, &zero, MEM_RELEASE), STATUS_SUCCESS);
    zero = 0;
    EXPECT_NE(NtFreeVirtualMemory(GetCurrentProcess(), &base, &zero, MEM_RELEASE), STATUS_SUCCESS);
}

TEST(RuntimeStandinTest, CriticalSectionIsRecursiveAndExcludes) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    uint64_t counter = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 5000; ++j) {
                EnterCriticalSection(&cs);
                ++counter;
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 20000u);
    DeleteCriticalSection(&cs);
}

TEST(RuntimeStandinTest, ThreadIdsAreStableAndDistinct) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(RuntimeStandinTest, KernelExportsTheSixtyFourBitTick) {
    HMODULE k = GetModuleHandleW(reinterpret_cast<LPCWSTR>(u"kernel32"));
    ASSERT_NE(k, nullptr);
    EXPECT_NE(GetProcAddress(k, "GetTickCount64"), nullptr);
    // Both count the same milliseconds: the low 32 bits agree closely.
    uint32_t a = GetTickCount();
    uint32_t b = static_cast<uint32_t>(GetTickCount64());
    EXPECT_LT(uint32_t(b - a), 1000u);
}

#ifndef _WIN32
TEST(RuntimeStandinTest, EventCreationCanBeMadeToFail) {
    FaultRule rule;
    rule.status = STATUS_INSUFFICIENT_RESOURCES;
    fault_set(FAULT_EVENT, rule);
    HANDLE ev = nullptr;
    EXPECT_EQ(NtCreateEvent(&ev, kEventAllAccess, nullptr, NotificationEvent, FALSE),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(NtCreateEvent(&ev, kEventAllAccess, nullptr, NotificationEvent, FALSE),
              STATUS_SUCCESS);
    NtClose(ev);
    fault_reset();
}

// The write time a handle reported is kept per handle under a lock: threads
// that read it and set it back on one handle at once (each as -p does) leave
// the file with its exact nanoseconds.
TEST(RuntimeStandinTest, WriteTimeSetBackFromSeveralThreadsStaysExact) {
    ScratchDir scratch{"standin_times"};
    std::string path = (scratch.dir / "t.txt").string();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const struct timespec exact[2] = {{0, UTIME_OMIT}, {1700000000, 123456789}};
    ASSERT_EQ(futimens(fd, exact), 0);
    close(fd);
    FileHandle h;
    ASSERT_EQ(file_open(&h, path.c_str(), FOPEN_QUERY | FOPEN_SET_INFO), 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < 200; ++n) {
                uint64_t size = 0;
                int64_t time = 0;
                if (file_query_size_time(h, &size, &time) != 0 || file_set_write_time(h, time) != 0)
                    ++failures;
            }
        });
    for (std::thread& t : threads) t.join();
    file_close(h);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
}
#endif

} // namespace
