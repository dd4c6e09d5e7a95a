#include "base/utf.h"

#include "platform/utf8.h"

#include <cstring>

uint32_t utf8_next(const char* text, uint64_t length, uint64_t pos, uint64_t* next) {
    if (!text || pos >= length) {
        if (next) *next = pos;
        return 0;
    }
    uint64_t after;
    uint32_t cp =
        utf8_decode(reinterpret_cast<const unsigned char*>(text), length, pos, &after, false);
    if (next) *next = after;
    return cp == UTF8_INVALID ? CP_INVALID : cp;
}

void utf8_put(char* buf, uint64_t capacity, uint64_t* pos, uint32_t cp) {
    unsigned char tmp[6];
    int n;
    if (cp < 0x80) {
        tmp[0] = static_cast<unsigned char>(cp);
        n = 1;
    } else if (cp > 0x7FFFFFFE) {
        tmp[0] = 0xFF;
        n = 1;
    } else {
        n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : cp < 0x200000 ? 4 : cp < 0x4000000 ? 5 : 6;
        static const unsigned char kLead[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
        for (int i = n - 1; i > 0; --i) {
            tmp[i] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            cp >>= 6;
        }
        tmp[0] = static_cast<unsigned char>(kLead[n] | cp);
    }
    uint64_t p = *pos;
    if (buf) {
        for (int i = 0; i < n; ++i)
            if (p + i < capacity) buf[p + i] = static_cast<char>(tmp[i]);
    }
    *pos = p + n;
}

uint32_t utf16_next(const char16_t* text, uint64_t length, uint64_t pos, uint64_t* next) {
    if (!text || pos >= length) {
        if (next) *next = pos;
        return 0;
    }
    uint32_t u = text[pos];
    if (u < 0xD800 || u > 0xDFFF) {
        if (next) *next = pos + 1;
        return u;
    }
    if (u <= 0xDBFF && pos + 1 < length) {
        uint32_t low = text[pos + 1];
        if (low >= 0xDC00 && low <= 0xDFFF) {
            if (next) *next = pos + 2;
            return (((u & 0x3FF) << 10) | (low & 0x3FF)) + 0x10000;
        }
    }
    if (next) *next = pos + 1;
    return CP_INVALID;
}

void utf16_put(char16_t* buf, uint64_t capacity, uint64_t* pos, uint32_t cp) {
    uint64_t p = *pos;
    if (cp <= 0xFFFF) {
        if (buf && p < capacity) buf[p] = static_cast<char16_t>(cp);
        *pos = p + 1;
    } else if (cp <= 0x10FFFF) {
        if (buf && p + 1 < capacity)
            buf[p] = static_cast<char16_t>(0xD800 | (((cp - 0x10000) >> 10) & 0x3FF));
        if (buf && p + 2 < capacity) buf[p + 1] = static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
        *pos = p + 2;
    } else {
        if (buf && p < capacity) buf[p] = 0xFFFF;
        *pos = p + 1;
    }
}

uint64_t utf16_to_utf8(char* buf, uint64_t capacity, const char16_t* text, uint64_t length) {
    if (!buf) capacity = 0;
    uint64_t in = 0, out = 0, term = 0;
    for (;;) {
        uint32_t cp = utf16_next(text, length, in, &in);
        if (cp == 0) break;
        utf8_put(buf, capacity, &out, cp);
        if (out < capacity) term = out;
    }
    if (capacity != 0) buf[term] = 0;
    return out;
}

uint64_t utf8_to_utf16(char16_t* buf, uint64_t capacity, const char* text, uint64_t length) {
    if (!buf) capacity = 0;
    uint64_t in = 0, out = 0, term = 0;
    for (;;) {
        uint32_t cp = utf8_next(text, length, in, &in);
        if (cp == 0) break;
        utf16_put(buf, capacity, &out, cp);
        if (out < capacity) term = out;
    }
    if (capacity != 0) buf[term] = 0;
    return out;
}

char* utf16_to_utf8_alloc(Allocator* a, const char16_t* text, uint64_t length) {
    char small[100];
    uint64_t n = utf16_to_utf8(small, sizeof small, text, length);
    char* s = static_cast<char*>(allocate(a, n + 1));
    if (!s) return nullptr;
    if (n < sizeof small)
        memcpy(s, small, n + 1);
    else
        utf16_to_utf8(s, n + 1, text, length);
    return s;
}

uint64_t str_len(const char* text) {
    return text ? strlen(text) : 0;
}

uint64_t str_len_max(const char* text, uint64_t max) {
    if (!text) return 0;
    uint64_t n = 0;
    while (n < max && text[n]) ++n;
    return n;
}

void mem_move(void* dst, const void* src, uint64_t count) {
    if (!dst) return;
    if (!src)
        memset(dst, 0, count);
    else
        memmove(dst, src, count);
}

void str_copy(char* buf, uint64_t capacity, const char* text, uint64_t length) {
    if (!buf || capacity == 0) return;
    uint64_t limit = capacity < length ? capacity : length;
    uint64_t n = str_len_max(text, limit);
    if (n >= capacity) n = capacity - 1;
    if (n) memcpy(buf, text, n);
    buf[n] = 0;
}

char* str_dup(Allocator* a, const char* text, uint64_t length) {
    uint64_t n = str_len_max(text, length);
    char* s = static_cast<char*>(allocate(a, n + 1));
    if (s && n) memcpy(s, text, n);
    return s;
}

uint64_t wstr_len(const char16_t* text) {
    return wstr_len_max(text, TEXT_NUL);
}

uint64_t wstr_len_max(const char16_t* text, uint64_t max) {
    if (!text) return 0;
    uint64_t n = 0;
    while (n < max && text[n]) ++n;
    return n;
}

void wmem_move(char16_t* dst, const char16_t* src, uint64_t count) {
    mem_move(dst, src, count * sizeof(char16_t));
}

char16_t* wstr_alloc(uint64_t count) {
    if (count == 0) return nullptr;
    char16_t* s = static_cast<char16_t*>(mem_malloc(count * sizeof(char16_t)));
    if (!s) return nullptr;
    s[0] = 0;
    s[count - 1] = 0;
    return s;
}

char16_t* wstr_dup_heap(const char16_t* text, uint64_t length) {
    if (!text) return nullptr;
    uint64_t n = wstr_len_max(text, length);
    char16_t* s = wstr_alloc(n + 1);
    if (!s) return nullptr;
    wmem_move(s, text, n);
    s[n] = 0;
    return s;
}

char16_t* wstr_dup(Allocator* a, const char16_t* text, uint64_t length) {
    uint64_t n = wstr_len_max(text, length);
    char16_t* s = static_cast<char16_t*>(allocate(a, (n + 1) * sizeof(char16_t)));
    if (s && n) wmem_move(s, text, n);
    return s;
}

char16_t wstr_upper_next(const char16_t* text, uint64_t length, uint64_t pos, uint64_t* next) {
    if (!text || pos >= length || text[pos] == 0) {
        if (next) *next = pos;
        return 0;
    }
    char16_t u = text[pos];
    if (next) *next = pos + 1;
    return (u >= u'a' && u <= u'z') ? static_cast<char16_t>(u - 32) : u;
}

int wstr_compare_nocase(const char16_t* a, uint64_t alen, const char16_t* b, uint64_t blen) {
    uint64_t pa = 0, pb = 0;
    for (;;) {
        char16_t ca = wstr_upper_next(a, alen, pa, &pa);
        char16_t cb = wstr_upper_next(b, blen, pb, &pb);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
}

int wstr_has_prefix_nocase(const char16_t* text, uint64_t length, const char16_t* prefix,
                           uint64_t prefix_length) {
    uint64_t plen = wstr_len_max(prefix, prefix_length);
    uint64_t tlen = wstr_len_max(text, length);
    return wstr_compare_nocase(text, tlen < plen ? tlen : plen, prefix, plen);
}

int32_t path_arg_check(const char* path) {
    if (!path) return 14;
    if (!*path) return 123;
    return 0;
}
