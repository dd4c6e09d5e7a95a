// Start and end of the runtime: the record is published before the
// program's entry, and torn down by an exit handler that first joins every
// worker thread. Locks, signals and threads need nothing more from a caller.
#pragma once

// Publishes the runtime record unless one is published, and registers the
// exit handlers once per publication; false when no record exists
// afterwards (out of memory).
bool runtime_init();
// Exit-time handler: reaps worker threads and frees the record. The locks
// keep working afterwards, without excluding anything.
void runtime_teardown();
