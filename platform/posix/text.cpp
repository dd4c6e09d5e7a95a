#include "platform/posix/text.h"

#include "platform/utf8.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint32_t kMappedChar = 0xF000;
constexpr uint32_t kMappedByte = 0xF100;

// Characters no Windows name holds.
bool unholdable(uint32_t c) {
    return c < 0x20 || (c < 0x80 && strchr("\\*?\"<>|", static_cast<int>(c)) != nullptr);
}

// What stays as it is in text of this kind: in a command line, the
// wildcards and the separator have their meaning.
bool kept(uint32_t c, PosixText kind) {
    if (kind == PosixText::Argument) return !unholdable(c) || c == '*' || c == '?' || c == '\\';
    if (kind == PosixText::Path && c == '/') return true;
    return !unholdable(c) && c != '/';
}

} // namespace

size_t posix_text_to_utf16(const char* s, char16_t* out, PosixText kind) {
    const auto* p = reinterpret_cast<const unsigned char*>(s);
    size_t k = 0;
    auto put = [&](uint32_t u) {
        if (out) out[k] = static_cast<char16_t>(u);
        ++k;
    };
    for (uint64_t pos = 0; p[pos];) {
        uint64_t next;
        uint32_t c = utf8_decode(p, UINT64_MAX, pos, &next, true);
        if (c == UTF8_INVALID || (c >= kMappedChar && c < kMappedByte + 0x100)) {
            for (uint64_t i = pos; i < next; ++i) put(kMappedByte + p[i]);
        } else if (!kept(c, kind)) {
            put(kMappedChar + c);
        } else if (c >= 0x10000) {
            c -= 0x10000;
            put(0xD800 | (c >> 10));
            put(0xDC00 | (c & 0x3FF));
        } else {
            put(c);
        }
        pos = next;
    }
    return k;
}

bool posix_name_from_utf16(const char16_t* s, size_t n, char* out, size_t* pos) {
    size_t p = *pos;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDFFF) {
            if (c > 0xDBFF || i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c & 0x3FF) << 10) + (s[++i] & 0x3FF);
        }
        if (c >= kMappedChar && c < kMappedByte + 0x100) {
            unsigned char b = static_cast<unsigned char>(c & 0xFF);
            if (b == 0 || b == '/') return false;
            out[p++] = static_cast<char>(b);
            continue;
        }
        if (unholdable(c) || c == '/') return false;
        if (c < 0x80) {
            out[p++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[p++] = static_cast<char>(0xC0 | (c >> 6));
            out[p++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[p++] = static_cast<char>(0xE0 | (c >> 12));
            out[p++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[p++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[p++] = static_cast<char>(0xF0 | (c >> 18));
            out[p++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[p++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[p++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    *pos = p;
    return true;
}
