#include "base/runtime/runtime.h"

#include "base/runtime/record.h"
#include "base/runtime/signal.h"
#include "base/runtime/thread.h"

#include <cstdlib>

bool runtime_init() {
    if (!record_publish()) return false;
    if (record_take_exit_handlers_due()) {
        // The signal table registers its exit handler first, so it runs after ours.
        signal_number(1);
        atexit(runtime_teardown);
    }
    return true;
}

void runtime_teardown() {
    RuntimeRecord* r = runtime_record();
    if (!r) return;
    threads_reap_all();
    record_unpublish_and_free(r);
}
