// Messages to standard output, and the last-resort fatal report.
#include "base/output.h"

#include "base/format.h"
#include "base/transfer.h"
#include "base/utf.h"
#include "platform/nt.h"

FileHandle std_output_handle() {
    // Asked anew for every message: the handle may be replaced while we run.
    return static_cast<FileHandle>(reinterpret_cast<uintptr_t>(GetStdHandle(STD_OUTPUT_HANDLE)));
}

void print_out(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vprint_handle(std_output_handle(), format, ap);
    va_end(ap);
}

void print_err(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vprint_handle(
        static_cast<FileHandle>(reinterpret_cast<uintptr_t>(GetStdHandle(STD_ERROR_HANDLE))),
        format, ap);
    va_end(ap);
}

void vprint_handle(FileHandle h, const char* format, va_list args) {
    ArenaAllocator arena;
    arena_init(&arena);
    // The whole message goes out in one write, so messages of different
    // threads do not interleave within a line.
    const char* text = format_alloc(arena_base(&arena), format, args);
    if (text) handle_write(h, text, str_len(text), nullptr); // out of memory: skipped
    arena_release(&arena);
}

void fatal_report(const char* source, int32_t line, const char* message) {
    // Only stack memory from here on: the heap may be what failed.
    const char* name = source;
    if (source) {
        for (const char* p = source; *p; ++p)
            if (*p == '/') name = p;
    }
    char text[200];
    format_to_buffer(text, sizeof text, "FATAL: %s:%d %s", name, line, message);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(str_len(text)), &written,
              nullptr);
    DebugBreak();
    // Reached only when a debugger lets the process go on.
    for (;;) TerminateProcess(GetCurrentProcess(), 255);
}
