// The one place where tests learn that they run under Wine rather than
// Windows. Wine answers a few calls differently; a test that accepts such an
// answer keeps Windows' expectation and says which difference it accepts.
#pragma once

#ifdef _WIN32
#include "platform/nt.h"

inline bool running_under_wine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
inline bool running_under_wine() {
    return false;
}
#endif

// Wine ends an alertable NtDelayExecution that ran its course with
// STATUS_TIMEOUT; Windows reports STATUS_SUCCESS.
inline bool wine_alertable_delay_times_out() {
    return running_under_wine();
}
