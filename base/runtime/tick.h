// The runtime's time base: milliseconds since system start, 64 bits wide.
#pragma once

#include <cstdint>

// Never fails; any thread, at any time (also before the runtime exists).
uint64_t tick_now();
