// Linux process entry: turns the UTF-8 arguments into the UTF-16 vector that
// Windows would hand over, then calls the same wide entry.
#include "platform/entry.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Bytes that are not UTF-8 become U+FFFD, as they would in a Windows
// command line built from them.
size_t to_utf16(const unsigned char* s, char16_t* out) {
    size_t n = 0;
    while (*s) {
        uint32_t cp = 0xFFFD;
        int need = 0;
        unsigned char c = *s++;
        if (c < 0x80)
            cp = c;
        else if (c >= 0xC2 && c <= 0xDF)
            cp = c & 0x1F, need = 1;
        else if (c >= 0xE0 && c <= 0xEF)
            cp = c & 0x0F, need = 2;
        else if (c >= 0xF0 && c <= 0xF4)
            cp = c & 0x07, need = 3;
        for (; need > 0; --need) {
            if ((*s & 0xC0) != 0x80) {
                cp = 0xFFFD;
                break;
            }
            cp = (cp << 6) | (*s++ & 0x3F);
        }
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            if (out) {
                out[n] = char16_t(0xD800 | ((cp - 0x10000) >> 10));
                out[n + 1] = char16_t(0xDC00 | (cp & 0x3FF));
            }
            n += 2;
        } else {
            if (out) out[n] = cp > 0x10FFFF ? char16_t(0xFFFD) : char16_t(cp);
            n += 1;
        }
    }
    if (out) out[n] = 0;
    return n + 1;
}

// The vector lives as long as the process, like the one Windows provides.
char16_t** g_wide_argv;
char16_t* g_wide_text;

} // namespace

int main(int argc, char** argv) {
    // A closed pipe must fail the write, as on Windows, not kill the process.
    signal(SIGPIPE, SIG_IGN);
    size_t units = 0;
    for (int i = 0; i < argc; ++i)
        units += to_utf16(reinterpret_cast<const unsigned char*>(argv[i]), nullptr);
    char16_t** wargv = g_wide_argv =
        static_cast<char16_t**>(malloc(sizeof(char16_t*) * (argc + 1)));
    char16_t* text = g_wide_text =
        static_cast<char16_t*>(malloc(sizeof(char16_t) * (units ? units : 1)));
    if (!wargv || !text) return -1;
    char16_t* p = text;
    for (int i = 0; i < argc; ++i) {
        wargv[i] = p;
        p += to_utf16(reinterpret_cast<const unsigned char*>(argv[i]), p);
    }
    wargv[argc] = nullptr;
    return wide_main(argc, wargv);
}
