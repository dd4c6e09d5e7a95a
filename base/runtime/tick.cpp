#include "base/runtime/tick.h"

#include "base/runtime/record.h"
#include "platform/nt.h"
#ifdef EOLSET_TEST_HOOKS
#include "base/test_control.h"
#endif

uint64_t tick_wrap_base = 0;

namespace {

using Tick64 = uint64_t(WINAPI*)();

Tick64 g_tick64 = nullptr;
uint8_t g_tick_resolved = 0;

uint32_t system_tick32() {
    return GetTickCount();
}
uint32_t (*g_tick32)() = system_tick32;

// Extends the 32-bit count: bit 31 of the base follows bit 31 of the count,
// and the base moves on by 2^31 each time the two differ.
uint64_t tick_now_fallback() {
    for (;;) {
        uint64_t b = __atomic_load_n(&tick_wrap_base, __ATOMIC_SEQ_CST);
        full_barrier();
        uint32_t t = g_tick32();
        if (((t ^ b) & 0x80000000u) == 0) return b | (t & 0x7FFFFFFFu);
        // One compare-and-swap advances the base (the parker's time-outs read
        // this clock, so it takes no lock); a thread that lost the race
        // finds the base already advanced.
        __atomic_compare_exchange_n(&tick_wrap_base, &b, b + 0x80000000u, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
    }
}

} // namespace

uint64_t tick_now() {
    Tick64 f = __atomic_load_n(&g_tick64, __ATOMIC_ACQUIRE);
    if (f) return f();
    if (!__atomic_load_n(&g_tick_resolved, __ATOMIC_ACQUIRE)) {
        HMODULE kernel32 = GetModuleHandleW(reinterpret_cast<LPCWSTR>(u"kernel32"));
        f = kernel32 ? reinterpret_cast<Tick64>(
                           reinterpret_cast<void*>(GetProcAddress(kernel32, "GetTickCount64")))
                     : nullptr;
        __atomic_store_n(&g_tick64, f, __ATOMIC_SEQ_CST);
        full_barrier();
        __atomic_store_n(&g_tick_resolved, 1, __ATOMIC_RELEASE);
        if (f) return f();
    }
    return tick_now_fallback();
}

#ifdef EOLSET_TEST_HOOKS
void tick_test_reset(uint32_t (*source)()) {
    __atomic_store_n(&tick_wrap_base, 0, __ATOMIC_SEQ_CST);
    g_tick32 = source ? source : system_tick32;
    __atomic_store_n(&g_tick64, nullptr, __ATOMIC_SEQ_CST);
    // A given source stands for a system without the 64-bit count.
    __atomic_store_n(&g_tick_resolved, source ? 1 : 0, __ATOMIC_SEQ_CST);
}

uint64_t tick_test_wrap_base() {
    return __atomic_load_n(&tick_wrap_base, __ATOMIC_SEQ_CST);
}
#endif
