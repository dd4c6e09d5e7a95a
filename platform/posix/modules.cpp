// Modules and the tick counts: kernel32 is the one module, and its one
// export looked up by name is GetTickCount64. Test hooks hide that export
// and feed chosen 32-bit readings.
#include "platform/posix/fault.h"
#include "platform/posix/standin.h"

#include <cstring>
#include <ctime>

struct StandinModule {
    int unused;
};

namespace {

StandinModule g_kernel32;

#ifdef EOLSET_TEST_HOOKS
bool g_hide_tick64 = false;
const uint32_t* g_tick_reading = nullptr;
#endif

uint64_t monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

// Module names compare without case and with or without ".dll".
bool is_kernel32(LPCWSTR name) {
    static const char kName[] = "kernel32";
    size_t i = 0;
    for (; kName[i]; ++i) {
        char16_t c = name[i];
        if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
        if (c != char16_t(kName[i])) return false;
    }
    if (name[i] == 0) return true;
    static const char kExt[] = ".dll";
    for (size_t j = 0; kExt[j]; ++j) {
        char16_t c = name[i + j];
        if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
        if (c != char16_t(kExt[j])) return false;
    }
    return name[i + 4] == 0;
}

} // namespace

#ifdef EOLSET_TEST_HOOKS
void fault_hide_tick64(bool hidden) {
    __atomic_store_n(&g_hide_tick64, hidden, __ATOMIC_RELEASE);
}

void fault_set_tick(const uint32_t* reading) {
    __atomic_store_n(&g_tick_reading, reading, __ATOMIC_RELEASE);
}

void standin::tick_hooks_reset() {
    fault_hide_tick64(false);
    fault_set_tick(nullptr);
}
#endif

extern "C" {

DWORD WINAPI GetTickCount(void) {
    CALL_LOG_COUNT(tick32_calls, 1);
#ifdef EOLSET_TEST_HOOKS
    if (const uint32_t* r = __atomic_load_n(&g_tick_reading, __ATOMIC_ACQUIRE))
        return __atomic_load_n(r, __ATOMIC_ACQUIRE);
#endif
    return static_cast<DWORD>(monotonic_ms());
}

uint64_t WINAPI GetTickCount64(void) {
    return monotonic_ms();
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR name) {
    if (name && is_kernel32(name)) return &g_kernel32;
    standin::set_last_error(126); // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, const char* name) {
    bool hidden = false;
#ifdef EOLSET_TEST_HOOKS
    hidden = __atomic_load_n(&g_hide_tick64, __ATOMIC_ACQUIRE);
#endif
    if (module == &g_kernel32 && name && strcmp(name, "GetTickCount64") == 0 && !hidden)
        return reinterpret_cast<FARPROC>(&GetTickCount64);
    standin::set_last_error(127); // ERROR_PROC_NOT_FOUND
    return nullptr;
}

} // extern "C"
