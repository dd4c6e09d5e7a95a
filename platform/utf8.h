// The one UTF-8 decoder of the program, header only and below everything, so
// that the library's text module and the Linux stand-in read bytes alike.
#pragma once

#include <cstdint>

// Returned for a sequence that cannot be decoded.
constexpr uint32_t UTF8_INVALID = 0xFFFFFFFFu;

// Decodes the sequence at s[pos] (pos < length; a NUL ends the text as well,
// since it is no continuation byte). *next is where the following one starts:
// one byte on, when this one cannot be decoded.
//
// Strict decoding takes only what UTF-8 allows: no overlong forms, no
// surrogates, nothing past U+10FFFF. Lenient decoding takes any lead byte
// from 0xC0 to 0xF7 with its continuation bytes, whatever they encode.
inline uint32_t utf8_decode(const unsigned char* s, uint64_t length, uint64_t pos, uint64_t* next,
                            bool strict) {
    uint32_t c = s[pos];
    *next = pos + 1;
    if (c < 0x80) return c;
    int extra;
    uint32_t min;
    if (c >= (strict ? 0xC2u : 0xC0u) && c <= 0xDF)
        c &= 0x1F, extra = 1, min = 0x80;
    else if (c >= 0xE0 && c <= 0xEF)
        c &= 0x0F, extra = 2, min = 0x800;
    else if (c >= 0xF0 && c <= (strict ? 0xF4u : 0xF7u))
        c &= 0x07, extra = 3, min = 0x10000;
    else
        return UTF8_INVALID;
    for (int i = 1; i <= extra; ++i) {
        if (pos + i >= length || (s[pos + i] & 0xC0) != 0x80) return UTF8_INVALID;
        c = (c << 6) | (s[pos + i] & 0x3F);
    }
    if (strict && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) return UTF8_INVALID;
    *next = pos + 1 + extra;
    return c;
}
