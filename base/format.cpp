// The printf-style formatter: UTF-8 output into a caller's buffer with
// measuring, or into memory from an allocator.
//
// A conversion is %[flags][width][.precision][size]conversion:
//   flags      space, #, +, -, 0
//   width      digits or *
//   precision  . then digits or *   (also after a width in digits, as printf has it)
//   size       h, l, L, ll, Ll, I8, I16, I32, I64
//   conversion d i u o x X p P c C w s S n t T r R
// Every argument occupies one 8-byte slot of the variable argument list.
#include "base/format.h"

#include "base/utf.h"

namespace {

const char kLowerDigits[] = "0123456789abcdef0x";
const char kUpperDigits[] = "0123456789ABCDEF0X";

enum : uint32_t {
    FLAG_SPACE = 1,
    FLAG_ALT = 2,
    FLAG_PLUS = 4,
    FLAG_LEFT = 8,
    FLAG_ZERO = 16,
};

// The output under construction: bytes land only below the capacity, the
// position counts on past it.
struct Out {
    char* buf;
    uint64_t capacity;
    uint64_t pos;
};

inline void put_byte(Out* o, char c) {
    if (o->pos < o->capacity) o->buf[o->pos] = c;
    ++o->pos;
}

inline void put_repeat(Out* o, char c, int64_t n) {
    for (; n > 0; --n) put_byte(o, c);
}

struct Conversion {
    uint32_t flags;
    int32_t width;
    int32_t precision; // -1: none
    int int_bits;      // 0: none given
    int char_bits;     // 0: none given
};

void emit_integer(Out* o, const Conversion& s, uint64_t value, bool is_signed, unsigned base,
                  const char* digits) {
    char sign = 0;
    if (is_signed) {
        if (static_cast<int64_t>(value) < 0) {
            sign = '-';
            value = 0 - value; // magnitude, also of the most negative value
        } else if (s.flags & FLAG_PLUS) {
            sign = '+';
        } else if (s.flags & FLAG_SPACE) {
            sign = ' ';
        }
    }
    char text[24]; // 22 octal digits at most
    int n = 0;
    do {
        text[n++] = digits[value % base];
        value /= base;
    } while (value != 0);

    int prefix = 0;
    if (s.flags & FLAG_ALT) {
        if (base == 8)
            prefix = 1;
        else if (base == 16)
            prefix = 2;
    }
    int64_t precision = s.precision < 0 ? 0 : s.precision;
    int64_t zeros = precision > n ? precision - n : 0;
    int64_t body = precision > n ? precision : n;
    int64_t padding = static_cast<int64_t>(s.width) - body - (sign ? 1 : 0) - prefix;
    if (padding < 0) padding = 0;
    if (s.flags & FLAG_ZERO) {
        // Zero padding takes the place of the spaces, on either side.
        if (padding > zeros) zeros = padding;
        padding = 0;
    }

    if (!(s.flags & FLAG_LEFT)) put_repeat(o, ' ', padding);
    if (sign) put_byte(o, sign);
    if (prefix >= 1) put_byte(o, digits[16]);
    if (prefix == 2) put_byte(o, digits[17]);
    put_repeat(o, '0', zeros);
    while (n > 0) put_byte(o, text[--n]);
    if (s.flags & FLAG_LEFT) put_repeat(o, ' ', padding);
}

// The string rule, shared by the UTF-8 and UTF-16 forms. `units` is the
// text's length in bytes or 16-bit units; padding is measured in those.
void emit_text(Out* o, const Conversion& s, const char* text8, const char16_t* text16,
               uint64_t units) {
    // A precision below -1 reads as a huge unsigned limit, that is none.
    uint64_t limit = s.precision == -1 ? units : static_cast<uint64_t>(int64_t{s.precision});
    if (s.width > 0 && limit < static_cast<uint64_t>(s.width))
        limit = static_cast<uint64_t>(s.width);
    int64_t padding = static_cast<int64_t>(s.width) - static_cast<int64_t>(units);
    if (padding < 0) padding = 0;

    uint64_t items = 0;
    bool left = s.flags & FLAG_LEFT;
    if (!left) {
        for (; padding > 0 && items < limit; --padding, ++items) put_byte(o, ' ');
    }
    uint64_t at = 0;
    while (items < limit) {
        uint32_t cp =
            text16 ? utf16_next(text16, units, at, &at) : utf8_next(text8, units, at, &at);
        if (cp == 0) break;
        utf8_put(o->buf, o->capacity, &o->pos, cp);
        ++items;
    }
    if (left) {
        for (; padding > 0 && items < limit; --padding, ++items) put_byte(o, ' ');
    }
}

void emit_utf8(Out* o, const Conversion& s, const char* text) {
    emit_text(o, s, text, nullptr, str_len(text));
}

void emit_utf16(Out* o, const Conversion& s, const char16_t* text) {
    emit_text(o, s, nullptr, text ? text : u"", wstr_len(text));
}

// Writes `value` as exactly `width` decimal digits.
char* put_decimal(char* p, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return p + width;
}

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kTicksPerDay = 864000000000ull;
constexpr uint64_t kMsPerDay = 86400000;
constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ull;
constexpr uint64_t kTicksPerSecond = 10000000;

bool is_leap(uint64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// 100-ns intervals since 1601-01-01 as "YYYY-MM-DD hh:mm:ss[.mmm]" in UTC.
// Returns the text's length.
int date_time_text(char* out, uint64_t count, bool millis) {
    uint64_t days = count / kTicksPerDay;
    uint64_t ms = (count / kTicksPerMs) % kMsPerDay;

    // 1601 starts a 400-year cycle of the proleptic Gregorian calendar.
    uint64_t year = 1601 + 400 * (days / 146097);
    days %= 146097;
    uint64_t centuries = days / 36524;
    if (centuries == 4) centuries = 3; // the cycle's last day, in its leap year
    days -= centuries * 36524;
    year += 100 * centuries;
    year += 4 * (days / 1461);
    days %= 1461;
    uint64_t years = days / 365;
    if (years == 4) years = 3; // the last day of a leap year
    days -= years * 365;
    year += years;

    static const uint8_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    unsigned month = 0;
    for (; month < 11; ++month) {
        uint64_t len = kMonthDays[month] + (month == 1 && is_leap(year) ? 1 : 0);
        if (days < len) break;
        days -= len;
    }

    char* p = out;
    p = put_decimal(p, year % 10000, 4);
    *p++ = '-';
    p = put_decimal(p, month + 1, 2);
    *p++ = '-';
    p = put_decimal(p, days + 1, 2);
    *p++ = ' ';
    p = put_decimal(p, ms / 3600000, 2);
    *p++ = ':';
    p = put_decimal(p, ms / 60000 % 60, 2);
    *p++ = ':';
    p = put_decimal(p, ms / 1000 % 60, 2);
    if (millis) {
        *p++ = '.';
        p = put_decimal(p, ms % 1000, 3);
    }
    *p = 0;
    return static_cast<int>(p - out);
}

char* put_hex(char* p, uint64_t value, int digits, const char* set) {
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = set[value & 15];
        value >>= 4;
    }
    return p + digits;
}

// A 16-byte identifier in the usual GUID form, without braces.
void identifier_text(char* out, const unsigned char* id, const char* set) {
    uint32_t data1 =
        uint32_t{id[0]} | uint32_t{id[1]} << 8 | uint32_t{id[2]} << 16 | uint32_t{id[3]} << 24;
    uint32_t data2 = uint32_t{id[4]} | uint32_t{id[5]} << 8;
    uint32_t data3 = uint32_t{id[6]} | uint32_t{id[7]} << 8;
    char* p = out;
    p = put_hex(p, data1, 8, set);
    *p++ = '-';
    p = put_hex(p, data2, 4, set);
    *p++ = '-';
    p = put_hex(p, data3, 4, set);
    *p++ = '-';
    p = put_hex(p, id[8], 2, set);
    p = put_hex(p, id[9], 2, set);
    *p++ = '-';
    for (int i = 10; i < 16; ++i) p = put_hex(p, id[i], 2, set);
    *p = 0;
}

// Reads an integer argument of the given size, widened to 64 bits. Values of
// 32 bits or less travel as int in the slot; only their low bits count.
uint64_t read_integer(va_list* ap, int bits, bool is_signed) {
    if (bits == 64) return static_cast<uint64_t>(va_arg(*ap, long long));
    uint32_t v = static_cast<uint32_t>(va_arg(*ap, int));
    if (bits == 8) {
        return is_signed ? static_cast<uint64_t>(int64_t{static_cast<int8_t>(v)}) : v & 0xFFu;
    }
    if (bits == 16) {
        return is_signed ? static_cast<uint64_t>(int64_t{static_cast<int16_t>(v)}) : v & 0xFFFFu;
    }
    return is_signed ? static_cast<uint64_t>(int64_t{static_cast<int32_t>(v)}) : v;
}

uint32_t read_char(va_list* ap, int bits) {
    uint32_t v = static_cast<uint32_t>(va_arg(*ap, int));
    if (bits == 8) return v & 0xFFu;
    if (bits == 16) return v & 0xFFFFu;
    return v;
}

// Reads the size prefix at *f, if any, and advances past it.
void read_size(const char** f, Conversion* s) {
    const char* p = *f;
    switch (*p) {
    case 'h':
        s->int_bits = 16, s->char_bits = 8;
        ++p;
        break;
    case 'l':
    case 'L':
        ++p;
        if (*p == 'l') {
            // Sets only the integer size: characters and strings keep their default.
            s->int_bits = 64;
            ++p;
        } else {
            s->int_bits = 32, s->char_bits = 16;
        }
        break;
    case 'I':
        if (p[1] == '8') {
            s->int_bits = 8, s->char_bits = 8;
            p += 2;
        } else if (p[1] == '1' && p[2] == '6') {
            s->int_bits = 16, s->char_bits = 16;
            p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
            s->int_bits = 32, s->char_bits = 32;
            p += 3;
        } else if (p[1] == '6' && p[2] == '4') {
            s->int_bits = 64;
            p += 3;
        }
        // Otherwise the I itself is the (unknown) conversion character.
        break;
    default:
        break;
    }
    *f = p;
}

void store_count(void* place, int bits, uint64_t count) {
    if (!place) return;
    switch (bits) {
    case 8:
        *static_cast<uint8_t*>(place) = static_cast<uint8_t>(count);
        break;
    case 16:
        *static_cast<uint16_t*>(place) = static_cast<uint16_t>(count);
        break;
    case 32:
        *static_cast<uint32_t*>(place) = static_cast<uint32_t>(count);
        break;
    default:
        *static_cast<uint64_t*>(place) = count;
        break;
    }
}

// Formats one conversion; *f points just past the '%' and is advanced past
// the conversion character. Long as a parser's switch is: the flags, width,
// precision, length and conversion of the grammar are read in one pass, a
// case for each conversion character.
void convert(Out* o, const char** f, va_list* ap) {
    Conversion s{0, 0, -1, 0, 0};
    const char* p = *f;

    // Flags.
    for (;; ++p) {
        if (*p == ' ')
            s.flags |= FLAG_SPACE;
        else if (*p == '#')
            s.flags |= FLAG_ALT;
        else if (*p == '+')
            s.flags |= FLAG_PLUS;
        else if (*p == '-')
            s.flags |= FLAG_LEFT;
        else if (*p == '0')
            s.flags |= FLAG_ZERO;
        else
            break;
    }
    // Width, then an optional precision.
    bool precision_follows = false;
    for (;; ++p) {
        if (*p >= '0' && *p <= '9') {
            s.width = static_cast<int32_t>(static_cast<uint32_t>(s.width) * 10u +
                                           static_cast<uint32_t>(*p - '0'));
        } else if (*p == '*') {
            s.width = va_arg(*ap, int);
            ++p;
            precision_follows = *p == '.';
            break;
        } else {
            precision_follows = *p == '.';
            break;
        }
    }
    if (precision_follows) {
        for (++p;; ++p) {
            if (*p >= '0' && *p <= '9') {
                uint32_t base = s.precision < 0 ? 0u : static_cast<uint32_t>(s.precision);
                s.precision = static_cast<int32_t>(base * 10u + static_cast<uint32_t>(*p - '0'));
            } else {
                if (*p == '*') {
                    s.precision = va_arg(*ap, int);
                    ++p;
                }
                break;
            }
        }
    }
    read_size(&p, &s);

    char conv = *p;
    if (conv != 0) ++p; // never step over the format's end
    *f = p;

    const char* digits = kLowerDigits;
    switch (conv) {
    case 'd':
    case 'i':
        emit_integer(o, s, read_integer(ap, s.int_bits ? s.int_bits : 32, true), true, 10, digits);
        break;
    case 'u':
        emit_integer(o, s, read_integer(ap, s.int_bits ? s.int_bits : 32, false), false, 10,
                     digits);
        break;
    case 'o':
        emit_integer(o, s, read_integer(ap, s.int_bits ? s.int_bits : 32, false), false, 8, digits);
        break;
    case 'X':
        digits = kUpperDigits;
        [[fallthrough]];
    case 'x':
        emit_integer(o, s, read_integer(ap, s.int_bits ? s.int_bits : 32, false), false, 16,
                     digits);
        break;
    case 'P':
        digits = kUpperDigits;
        [[fallthrough]];
    case 'p':
        emit_integer(o, s, reinterpret_cast<uintptr_t>(va_arg(*ap, void*)), false, 16, digits);
        break;
    case 'w':
        if (s.int_bits == 0 && s.char_bits == 0) {
            utf8_put(o->buf, o->capacity, &o->pos, read_char(ap, 16));
            break;
        }
        [[fallthrough]];
    case 'c':
        utf8_put(o->buf, o->capacity, &o->pos, read_char(ap, s.char_bits ? s.char_bits : 8));
        break;
    case 'C':
        utf8_put(o->buf, o->capacity, &o->pos, read_char(ap, 16));
        break;
    case 's': {
        const void* text = va_arg(*ap, const void*);
        if (s.char_bits == 0 || s.char_bits == 8)
            emit_utf8(o, s, static_cast<const char*>(text));
        else if (s.char_bits == 16)
            emit_utf16(o, s, static_cast<const char16_t*>(text));
        break;
    }
    case 'S':
        emit_utf16(o, s, va_arg(*ap, const char16_t*));
        break;
    case 'n':
        store_count(va_arg(*ap, void*), s.int_bits ? s.int_bits : 64, o->pos);
        break;
    case 't':
    case 'T': {
        uint64_t count;
        if (conv == 't') {
            int64_t seconds = (s.int_bits != 0 && s.int_bits <= 32)
                                  ? int64_t{static_cast<int32_t>(va_arg(*ap, int))}
                                  : int64_t{va_arg(*ap, long long)};
            count = (static_cast<uint64_t>(seconds) + kSecondsFrom1601To1970) * kTicksPerSecond;
        } else {
            count = static_cast<uint64_t>(va_arg(*ap, long long));
        }
        char text[32];
        date_time_text(text, count, conv == 'T');
        emit_utf8(o, s, text);
        break;
    }
    case 'R':
        digits = kUpperDigits;
        [[fallthrough]];
    case 'r': {
        const unsigned char* id = va_arg(*ap, const unsigned char*);
        char text[40] = {0};
        if (id) identifier_text(text, id, digits);
        emit_utf8(o, s, text);
        break;
    }
    default:
        break; // unknown: prints nothing, takes no argument
    }
}

} // namespace

uint64_t format_engine(char* buf, uint64_t capacity, const char* format, va_list args) {
    Out o{buf, buf ? capacity : 0, 0};
    va_list ap;
    va_copy(ap, args);
    const char* f = format ? format : "";
    while (*f) {
        if (*f != '%') {
            put_byte(&o, *f++);
            continue;
        }
        ++f;
        if (*f == 0) break;
        if (*f == '%') {
            put_byte(&o, '%');
            ++f;
            continue;
        }
        convert(&o, &f, &ap);
    }
    va_end(ap);
    if (o.capacity > 0) o.buf[o.pos < o.capacity ? o.pos : o.capacity - 1] = 0;
    return o.pos;
}

uint64_t format_to_buffer(char* buf, uint64_t capacity, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    uint64_t n = format_engine(buf, capacity, format, ap);
    va_end(ap);
    return n;
}

char* format_alloc(Allocator* a, const char* format, va_list args) {
    char first[100];
    va_list ap;
    va_copy(ap, args);
    uint64_t n = format_engine(first, sizeof first, format, ap);
    va_end(ap);
    char* out = static_cast<char*>(allocate(a, n + 1));
    if (!out) return nullptr;
    if (n < sizeof first) {
        mem_move(out, first, n + 1);
    } else {
        va_copy(ap, args);
        format_engine(out, n + 1, format, ap);
        va_end(ap);
    }
    return out;
}

char* format_new(Allocator* a, const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* s = format_alloc(a, format, args);
    va_end(args);
    return s;
}
