#include "platform/posix/text.h"

#include <cstdint>

size_t posix_text_to_utf16(const char* s, char16_t* out, bool backslash_invalid) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t k = 0;
    auto put = [&](char16_t u) {
        if (out) out[k] = u;
        ++k;
    };
    while (*p) {
        uint32_t c = *p;
        if (c < 0x80) {
            put(c == '\\' && backslash_invalid ? u'\uFFFD' : static_cast<char16_t>(c));
            ++p;
            continue;
        }
        int need = 0;
        uint32_t min = 0;
        if (c >= 0xC2 && c <= 0xDF)
            c &= 0x1F, need = 1, min = 0x80;
        else if (c >= 0xE0 && c <= 0xEF)
            c &= 0x0F, need = 2, min = 0x800;
        else if (c >= 0xF0 && c <= 0xF4)
            c &= 0x07, need = 3, min = 0x10000;
        int i = 1;
        for (; need > 0 && i <= need; ++i) {
            if ((p[i] & 0xC0) != 0x80) break;
            c = (c << 6) | (p[i] & 0x3F);
        }
        if (need == 0 || i <= need || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            put(u'\uFFFD');
            ++p;
            continue;
        }
        p += need + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            put(static_cast<char16_t>(0xD800 | (c >> 10)));
            put(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
        } else {
            put(static_cast<char16_t>(c));
        }
    }
    return k;
}
