// The words of the ERROR: lines, shared by the driver and the engine. Every
// such line goes to standard error, where it stays out of the names a script
// reads from standard output.
#pragma once

#include "base/types.h"

// A short reason for a system error code ("file not found", ...).
const char* error_reason(ErrorCode code);
// Names a file that could not be read, with the reason.
void report_unreadable_file(const char* path, ErrorCode code);
