// The Windows form of POSIX text (names, paths, arguments) and back, shared
// by the stand-in and the Linux entry.
//
// Every byte string a Linux file system holds as a name has its own Windows
// form, and the form gives back the same bytes: as the Windows tools for
// Linux file systems do (WSL's and Cygwin's file-name mapping), each
// character a Windows name cannot hold becomes a private code point, U+F000
// plus its code. A byte that is not UTF-8 becomes U+F100 plus the byte; so
// does each byte of a UTF-8 character that is itself in U+F000..U+F1FF,
// which is how such a real name keeps a form of its own.
#pragma once

#include <cstddef>

enum class PosixText {
    Argument, // a command-line argument or variable: * ? and \ keep their meaning
    Name,     // one name: every character a Windows name cannot hold is mapped
    Path,     // a POSIX path: each element a Name, each '/' kept
};

// Converts the NUL-terminated bytes s. Writes no NUL; out may be null to
// measure. Returns the number of units; never more than the number of bytes.
size_t posix_text_to_utf16(const char* s, char16_t* out, PosixText kind);

// The bytes of a name in Windows form (n units), at out[*pos] (room for three
// bytes a unit). False for a lone surrogate, a raw character a Windows name
// cannot hold, or a name whose bytes would hold a NUL or a '/'.
bool posix_name_from_utf16(const char16_t* s, size_t n, char* out, size_t* pos);
