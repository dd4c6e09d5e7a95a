// Messages to standard output, and the fatal report for internal failures.
#pragma once

#include "base/types.h"

#include <cstdarg>

FileHandle std_output_handle();
void print_out(const char* format, ...);
// The same to standard error.
void print_err(const char* format, ...);
void vprint_handle(FileHandle h, const char* format, va_list args);
[[noreturn]] void fatal_report(const char* source, int32_t line, const char* message);
