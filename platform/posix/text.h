// UTF-16 form of POSIX text (names, paths, arguments), shared by the stand-in
// and the Linux entry.
#pragma once

#include <cstddef>

// Converts the NUL-terminated bytes s. Bytes that are not UTF-8 (overlong
// forms and surrogates included) become U+FFFD, one per byte that starts no
// valid sequence; with `backslash_invalid`, so does a backslash, which a
// Windows path would read as a separator. Writes no NUL; out may be null to
// measure. Returns the number of units; never more than the number of bytes.
size_t posix_text_to_utf16(const char* s, char16_t* out, bool backslash_invalid);
