// The program's wide-character entry. The platform glue (platform/windows or
// platform/posix) calls it with the process's UTF-16 argument vector; the
// program defines it.
#pragma once

int wide_main(int argc, char16_t** argv);
