#include "base/runtime.h"

void threads_reap_all() {
    if (!runtime_record()) return;
    // No worker threads are started yet: announce the start and the end of
    // their teardown.
    signal_set(signal_number(5));
    signal_set(signal_number(6));
}
