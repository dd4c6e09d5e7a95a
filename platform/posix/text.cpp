#include "platform/posix/text.h"

#include "platform/utf8.h"

#include <cstdint>

size_t posix_text_to_utf16(const char* s, char16_t* out, bool backslash_invalid) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t k = 0;
    auto put = [&](char16_t u) {
        if (out) out[k] = u;
        ++k;
    };
    for (uint64_t pos = 0; p[pos];) {
        uint64_t next;
        uint32_t c = utf8_decode(p, UINT64_MAX, pos, &next, true);
        if (c == UTF8_INVALID || (c == '\\' && backslash_invalid)) {
            put(u'\uFFFD');
        } else if (c >= 0x10000) {
            c -= 0x10000;
            put(static_cast<char16_t>(0xD800 | (c >> 10)));
            put(static_cast<char16_t>(0xDC00 | (c & 0x3FF)));
        } else {
            put(static_cast<char16_t>(c));
        }
        pos = next;
    }
    return k;
}
