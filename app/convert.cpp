#include "app/convert.h"

#include "app/chunks.h"
#include "app/reader.h"
#include "app/seen.h"
#include "base/filekind.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/output.h"
#include "base/transfer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// What one pass over a file found.
struct PassCounts {
    int32_t lf;
    int32_t crlf;
    int32_t crcrlf;
    int32_t lone_cr;
    int32_t bom;
};

enum PassMode { PASS_COUNT, PASS_UNIX, PASS_WINDOWS };

int32_t line_ends(const PassCounts& n) {
    return n.lf + n.crlf + n.crcrlf + n.lone_cr;
}
int32_t already_in_form(const PassCounts& n, PassMode form) {
    return form == PASS_UNIX ? n.lf : n.crlf;
}
bool needs_change(const PassCounts& n, PassMode form) {
    return n.bom != 0 || line_ends(n) != already_in_form(n, form);
}

// Bytes that need a decision: LF, CR and the first byte of a byte-order mark.
inline bool is_special(unsigned char c) {
    return c == 0x0A || c == 0x0D || c == 0xEF;
}

// The first special byte in [p, e), or e.
inline const unsigned char* find_special(const unsigned char* p, const unsigned char* e) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8(0x0A);
    const __m128i cr = _mm_set1_epi8(0x0D);
    const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
    while (e - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i m = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)),
                                 _mm_cmpeq_epi8(v, ef));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
        if (mask) return p + __builtin_ctz(mask);
        p += 16;
    }
#endif
    while (p < e && !is_special(*p)) ++p;
    return p;
}

// Counting needs to stop only at CR and at the first byte of a byte-order
// mark; line feeds on the way are tallied in bulk. Returns the first CR or
// 0xEF in [p, e), or e, and adds the line feeds before it to *lf.
inline const unsigned char* count_to_cr_or_ef(const unsigned char* p, const unsigned char* e,
                                              int32_t* lf) {
    int32_t found = 0;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8(0x0A);
    const __m128i cr = _mm_set1_epi8(0x0D);
    const __m128i ef = _mm_set1_epi8(static_cast<char>(0xEF));
    const __m128i zero = _mm_setzero_si128();
    while (e - p >= 16) {
        // Byte-wise line-feed tallies, folded into 64-bit sums before they can wrap.
        __m128i tally = zero;
        int rounds = 0;
        unsigned stop = 0;
        __m128i v = zero;
        while (e - p >= 16 && rounds < 255) {
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            stop = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, ef))));
            if (stop) break;
            tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(v, nl));
            p += 16;
            ++rounds;
        }
        __m128i sums = _mm_sad_epu8(tally, zero);
        found += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
        if (stop) {
            unsigned before = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl))) &
                              ((stop & (0u - stop)) - 1);
            for (; before; before &= before - 1) ++found;
            *lf += found;
            return p + __builtin_ctz(stop);
        }
    }
#endif
    for (; p < e && *p != 0x0D && *p != 0xEF; ++p) found += *p == 0x0A;
    *lf += found;
    return p;
}

template <PassMode Mode> inline void emit_line_end(ChunkBuffer* out) {
    if (Mode == PASS_WINDOWS) chunks_put(out, 0x0D);
    if (Mode != PASS_COUNT) chunks_put(out, 0x0A);
}

// Takes the file's bytes one decision at a time. Runs of ordinary bytes are
// found in the reader's buffer and copied in one step; the reader is asked to
// refill and to peek exactly when a byte-by-byte loop would ask it, so the
// file is read in the same slices.
template <PassMode Mode> void pass_body(LookAheadReader* r, PassCounts* n, ChunkBuffer* out) {
    for (;;) {
        if (r->position >= r->filled) {
            // Once a block could not be had the text will not be written:
            // nothing more to learn from the rest of the file.
            if (Mode != PASS_COUNT && out->failure) return;
            if (reader_refill(r)) return;
        }
        const unsigned char* base = r->buffer;
        const unsigned char* p = base + r->position;
        const unsigned char* e = base + r->filled;
        const unsigned char* s =
            Mode == PASS_COUNT ? count_to_cr_or_ef(p, e, &n->lf) : find_special(p, e);
        if (Mode != PASS_COUNT && s != p) chunks_put_run(out, p, static_cast<uint64_t>(s - p));
        if (s == e) {
            r->position = r->filled;
            continue;
        }
        r->position = static_cast<uint64_t>(s - base) + 1;
        switch (*s) {
        case 0x0A:
            ++n->lf;
            emit_line_end<Mode>(out);
            break;
        case 0x0D: {
            unsigned char next = reader_peek(r, 0);
            if (next == 0x0A) {
                reader_skip(r, 1);
                ++n->crlf;
            } else if (next == 0x0D && reader_peek(r, 1) == 0x0A) {
                reader_skip(r, 2);
                ++n->crcrlf;
            } else {
                ++n->lone_cr;
            }
            emit_line_end<Mode>(out);
            break;
        }
        default: // 0xEF
            if (reader_peek(r, 0) == 0xBB && reader_peek(r, 1) == 0xBF) {
                reader_skip(r, 2);
                ++n->bom;
            } else if (Mode != PASS_COUNT) {
                chunks_put(out, 0xEF);
            }
            break;
        }
    }
}

// One pass from byte 0 to the end. Returns the reader's failure (0 when the
// whole file was read) and the bytes read in *length.
ErrorCode run_pass(FileHandle h, PassMode mode, PassCounts* n, ChunkBuffer* out, uint64_t* length) {
    *n = PassCounts{};
    *length = 0;
    // A pass that cannot start at byte 0 would judge part of the file.
    ErrorCode e = file_set_position(h, 0);
    if (e != 0) return e;
    LookAheadReader r;
    reader_create(&r, h, READER_SLICE);
    switch (mode) {
    case PASS_COUNT:
        pass_body<PASS_COUNT>(&r, n, out);
        break;
    case PASS_UNIX:
        pass_body<PASS_UNIX>(&r, n, out);
        break;
    case PASS_WINDOWS:
        pass_body<PASS_WINDOWS>(&r, n, out);
        break;
    }
    e = r.error;
    *length = r.total_read;
    reader_release(&r);
    return e;
}

// A file whose bytes could not all be read is never judged on the part that
// was: count it with the files that could not be read.
void count_read_failure(RunTotals* t, ErrorCode e) {
    if (e == ERR_OUT_OF_MEMORY)
        ++t->memory_failures;
    else
        ++t->open_failures;
}

void add_fixes(RunTotals* t, const PassCounts& n, PassMode form) {
    t->boms_fixed += static_cast<uint32_t>(n.bom);
    t->line_feeds_fixed += static_cast<uint32_t>(line_ends(n) - already_in_form(n, form));
}

// Writes the text over the file from byte 0. The file is first made long
// enough for the new text, so a full disk shows before anything is
// overwritten; a short write leaves the file's length alone, so no byte past
// the failure is cut off.
void rewrite(RunTotals* t, FileHandle h, const FileEntry* entry, const ChunkBuffer* text,
             uint64_t old_length) {
    int64_t keep_time = entry->write_time;
    if (t->preserve_time) {
        FileEntry now;
        if (file_query_entry(h, &now) == 0) keep_time = now.write_time;
    }
    uint64_t new_length = chunks_length(text);
    // Writing anywhere but at byte 0 would scramble the file. Extending does
    // not move the position.
    bool ready = file_set_position(h, 0) == 0 &&
                 (new_length <= old_length || file_set_end(h, new_length) == 0);
    if (!ready) {
        ++t->write_failures;
    } else {
        uint64_t written = 0;
        bool whole = true;
        for (const ChunkBlock* b = text->first; b; b = b->next) {
            uint64_t moved = 0;
            handle_write(h, b->data, b->filled, &moved);
            written += moved;
            if (moved < b->filled) {
                ++t->write_failures;
                whole = false;
                break;
            }
        }
        // A cut that fails leaves the old tail behind the new text: the
        // file was not made what it should be.
        if (whole && file_set_end(h, written) != 0) ++t->write_failures;
    }
    if (t->preserve_time) file_set_write_time(h, keep_time);
}

} // namespace

ErrorCode convert_file(RunTotals* t, const char* path, const FileEntry* entry) {
    ++t->files_processed;
    if (entry->is_directory) return 0;

    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e;
    if (!t->test_only) {
        e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ | FOPEN_SET_INFO | FOPEN_WRITE);
        if (e != 0) {
            file_close(h); // an open can fail and still hand back a handle
            h = INVALID_FILE_HANDLE;
            e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ);
        }
    } else {
        e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ);
    }
    e = keep_regular_file(&h, e); // devices, pipes, pseudo files: never read
    if (e != 0) ++t->open_failures;

    bool fixed = false;
    if (handle_is_valid(h)) {
        ChunkBuffer text;
        chunks_create(&text);
        PassCounts n;
        uint64_t length = 0;
        PassMode form = t->to_unix ? PASS_UNIX : PASS_WINDOWS;
        bool output_pass = !t->test_only && (t->to_unix || t->to_windows);
        ErrorCode re = 0;
        if (!output_pass) {
            re = run_pass(h, PASS_COUNT, &n, &text, &length);
            if (re == 0) {
                if (!t->to_unix && !t->to_windows) form = n.lf >= n.crlf ? PASS_UNIX : PASS_WINDOWS;
                if (needs_change(n, form)) {
                    if (t->test_only) {
                        // A second visit finds the file as the first left it.
                        fixed = seen_first_fix(entry);
                        if (fixed) add_fixes(t, n, form);
                    } else {
                        output_pass = true;
                    }
                }
            }
        }
        if (re == 0 && output_pass) re = run_pass(h, form, &n, &text, &length);
        if (re != 0) {
            count_read_failure(t, re);
        } else if (output_pass) {
            if (text.failure != 0) {
                ++t->memory_failures;
            } else if (needs_change(n, form)) {
                add_fixes(t, n, form);
                rewrite(t, h, entry, &text, length);
                fixed = true;
            }
        }
        chunks_release(&text);
    }
    if (fixed) {
        ++t->files_fixed;
        print_out("%s\n", path);
    }
    file_close(h);
    return 0;
}
