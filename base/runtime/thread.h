// Worker threads and a small thread pool. Every thread the runtime starts is
// registered, so that finished threads are joined and their handles closed:
// now and then as new threads start, and all of them at process exit.
#pragma once

#include <cstdint>

struct ThreadRecord;
struct SignalListener;

// Starts entry(argument) on a new thread; when it returns, finish_hook
// (hook_value) runs on it (null: none). A stack size of 0 takes the default,
// any other is a reservation. False when no thread could be started.
bool thread_start(void (*entry)(void*), void* argument, void (*finish_hook)(void*),
                  void* hook_value, uint32_t stack_size);
// Marks a record finished, after running its finish hook.
void thread_finish(ThreadRecord* record);
// Exit-time: sets process signal 5, joins every registered thread, then sets
// process signal 6.
void threads_reap_all();

// Runs job(argument) on an idle pooled thread or a new one; false (and the
// job not run) when no thread could be had.
bool pool_run(void (*job)(void*), void* argument);
// Listener of process signal 5: lets idle workers go and stops the pool.
void pool_shutdown(SignalListener* listener);
