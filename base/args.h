// The process's argument vector in UTF-8, and the one-time publication of
// process-wide values that are freed at exit.
#pragma once

#include "base/alloc.h"

#include <cstdint>

struct ArgumentStore {
    int32_t count;
    char16_t** wide; // the vector as the process received it
    char** utf8;     // what args_get returns
    char** owned;    // the converted vector, freed by the exit cleanup
};
extern ArgumentStore g_argument_store;

// A lazily computed process-wide value: the published slot, the copy the exit
// cleanup frees, and the static value used when none could be computed.
struct ProcessValue {
    void* slot;
    void* owned;
    const void* fallback;
};
// The current directory and the user name (UTF-16), cached by the path module.
extern ProcessValue g_cached_directory;
extern ProcessValue g_cached_user_name;

char** args_to_utf8(Allocator* a, char16_t** wide);
// Converts and stores the vector; false (and nothing stored) when memory runs out.
bool args_install(int32_t count, char16_t** wide);
char** args_get(int32_t* count);

void exit_cleanup_register();
// Publishes value (heap memory) into slot unless it is taken already; with no
// value, publishes the fallback. Returns what the slot holds.
void* install_once(void** slot, void** owner, void* value, const void* fallback);

// Runs the exit cleanup now (what the at-exit list runs at process exit).
void exit_cleanup_run();
// True once the exit cleanup has been registered.
bool exit_cleanup_registered();
