#include "app/convert.h"

#include "app/chunks.h"
#include "app/reader.h"
#include "app/report.h"
#include "app/rewrite.h"
#include "base/alloc.h"
#include "app/seen.h"
#include "base/filekind.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/output.h"
#include "base/transfer.h"
#ifdef EOLSET_TEST_HOOKS
#include "app/convert_test_hooks.h"
#endif

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

#ifdef EOLSET_TEST_HOOKS
const PassCounts* g_count_seed;
#endif

enum PassMode { PASS_COUNT, PASS_UNIX, PASS_WINDOWS };

uint64_t line_ends(const PassCounts& n) {
    return n.lf + n.crlf + n.crcrlf + n.lone_cr;
}
uint64_t already_in_form(const PassCounts& n, PassMode form) {
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
                                              uint64_t* lf) {
    uint64_t found = 0;
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
        found += static_cast<uint64_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<uint64_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
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
// file is read in the same slices. In an output pass every line end's
// original form and every removed mark is noted beside the text.
template <PassMode Mode> void pass_body(LookAheadReader* r, PassCounts* n, ConvertedText* out) {
    for (;;) {
        if (r->position >= r->filled) {
            // Once a block could not be had the text will not be written:
            // nothing more to learn from the rest of the file.
            if (Mode != PASS_COUNT && converted_failure(out)) return;
            if (reader_refill(r)) return;
        }
        const unsigned char* base = r->buffer;
        const unsigned char* p = base + r->position;
        const unsigned char* e = base + r->filled;
        const unsigned char* s =
            Mode == PASS_COUNT ? count_to_cr_or_ef(p, e, &n->lf) : find_special(p, e);
        if (Mode != PASS_COUNT && s != p)
            chunks_put_run(&out->text, p, static_cast<uint64_t>(s - p));
        if (s == e) {
            r->position = r->filled;
            continue;
        }
        // The common line end, both bytes at hand: no peek needed.
        if (Mode != PASS_COUNT && *s == 0x0D && e - s >= 2 && s[1] == 0x0A) {
            r->position = static_cast<uint64_t>(s - base) + 2;
            ++n->crlf;
            emit_line_end<Mode>(&out->text);
            converted_line_end(out, ORIGINAL_CRLF);
            continue;
        }
        r->position = static_cast<uint64_t>(s - base) + 1;
        switch (*s) {
        case 0x0A:
            ++n->lf;
            if (Mode != PASS_COUNT) {
                emit_line_end<Mode>(&out->text);
                converted_line_end(out, ORIGINAL_LF);
            }
            break;
        case 0x0D: {
            unsigned char next = reader_peek(r, 0);
            unsigned form;
            if (next == 0x0A) {
                reader_skip(r, 1);
                ++n->crlf;
                form = ORIGINAL_CRLF;
            } else if (next == 0x0D && reader_peek(r, 1) == 0x0A) {
                reader_skip(r, 2);
                ++n->crcrlf;
                form = ORIGINAL_CRCRLF;
            } else {
                ++n->lone_cr;
                form = ORIGINAL_CR;
            }
            if (Mode != PASS_COUNT) {
                emit_line_end<Mode>(&out->text);
                converted_line_end(out, form);
            }
            break;
        }
        default: // 0xEF
            if (reader_peek(r, 0) == 0xBB && reader_peek(r, 1) == 0xBF) {
                reader_skip(r, 2);
                ++n->bom;
                if (Mode != PASS_COUNT) converted_mark(out);
            } else if (Mode != PASS_COUNT) {
                chunks_put(&out->text, 0xEF);
            }
            break;
        }
    }
}

// Reads the part of the file that is already in the form, at counting
// speed, up to the first line end or mark that the form would change. True
// when there is one; the reader then stands on its first byte.
template <PassMode Mode> bool scan_in_form(LookAheadReader* r, PassCounts* n) {
    for (;;) {
        if (r->position >= r->filled && reader_refill(r)) return false;
        const unsigned char* base = r->buffer;
        const unsigned char* p = base + r->position;
        const unsigned char* e = base + r->filled;
        const unsigned char* s =
            Mode == PASS_UNIX ? count_to_cr_or_ef(p, e, &n->lf) : find_special(p, e);
        r->position = static_cast<uint64_t>(s - base);
        if (s == e) continue;
        // Looked at from where it stands, so that a refill keeps the byte.
        if (*s == 0x0D) {
            if (Mode != PASS_WINDOWS || reader_peek(r, 1) != 0x0A) return true;
            reader_skip(r, 2);
            ++n->crlf;
        } else if (*s == 0xEF) {
            if (reader_peek(r, 1) == 0xBB && reader_peek(r, 2) == 0xBF) return true;
            reader_skip(r, 1);
        } else {
            return true; // a line feed without its CR
        }
    }
}

// The reader's offset in the file.
uint64_t reader_offset(const LookAheadReader* r) {
    return r->total_read - (r->filled - r->position);
}

struct Pass {
    PassCounts counts;
    uint64_t length; // bytes read
    bool changes;    // the form would change something
    bool binary;     // the first block shows binary data; nothing more was read
    ErrorCode error; // the reader's failure, or a failed rewind
};

// How much of a file's start decides whether it is text.
constexpr uint64_t kBinaryProbe = 8000;

// Binary data: a NUL byte, or a UTF-16 or UTF-32 byte-order mark at the start
// (UTF-32's little-endian mark begins as UTF-16's; its big-endian one with a NUL).
bool looks_binary(const unsigned char* p, uint64_t n) {
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) return true;
    return memchr(p, 0, n < kBinaryProbe ? n : kBinaryProbe) != nullptr;
}

// One pass from byte 0 to the end, reading at most `limit` bytes. An output
// pass collects the text into *out (created here) from the first change on.
// With `probe`, a file whose first block looks binary ends the pass there.
void run_pass(FileHandle h, PassMode mode, uint64_t limit, uint64_t* budget, ConvertedText* out,
              bool probe, Pass* pass) {
    *pass = Pass{};
#ifdef EOLSET_TEST_HOOKS
    if (g_count_seed) pass->counts = *g_count_seed;
#endif
    // A pass that cannot start at byte 0 would judge part of the file.
    pass->error = file_set_position(h, 0);
    if (pass->error != 0) return;
    LookAheadReader r;
    reader_create(&r, h, READER_SLICE);
    r.limit = limit;
    PassCounts* n = &pass->counts;
    if (probe && r.error == 0) {
        // The block the pass would read first anyway.
        reader_refill(&r);
        pass->binary = r.error == 0 && looks_binary(r.buffer, r.filled);
    }
    if (pass->binary) {
        // Left alone unread.
    } else if (mode == PASS_COUNT) {
        pass_body<PASS_COUNT>(&r, n, nullptr);
    } else {
        bool windows = mode == PASS_WINDOWS;
        pass->changes =
            windows ? scan_in_form<PASS_WINDOWS>(&r, n) : scan_in_form<PASS_UNIX>(&r, n);
        if (pass->changes && r.error == 0) {
            converted_create(out, reader_offset(&r), windows, budget);
            if (windows)
                pass_body<PASS_WINDOWS>(&r, n, out);
            else
                pass_body<PASS_UNIX>(&r, n, out);
            converted_finish(out);
        }
    }
    pass->error = r.error;
    pass->length = r.total_read;
    reader_release(&r);
}

// Whether the open handle is the file the walk listed: a name can be taken
// over between the listing and the open (or, on a system that looks names
// up with letter case ignored, lead to another entry). True when the entry
// carries no identity to compare.
bool is_listed_file(FileHandle h, const FileEntry* entry) {
    if (entry->file_id[0] == 0 && entry->file_id[1] == 0) return true;
    if (entry->file_id[1] != 0) {
        NtFileIdInformation id{};
        if (file_query_information(h, FileIdInformation, &id, sizeof id, nullptr) == 0)
            return memcmp(id.FileId, entry->file_id, sizeof id.FileId) == 0;
    }
    int64_t index = 0;
    if (file_query_information(h, FileInternalInformation, &index, sizeof index, nullptr) != 0)
        return true;
    return static_cast<uint64_t>(index) == entry->file_id[0];
}

// A file whose bytes could not all be read is never judged on the part that
// was: count it with the files that could not be read.
void count_read_failure(RunTotals* t, const char* path, ErrorCode e) {
    if (e == ERR_OUT_OF_MEMORY)
        ++t->memory_failures;
    else
        ++t->open_failures;
    report_unreadable_file(path, e);
}

// A file that needed changing and was left as it was. A file that could not
// be put back has been named already, with where its original went.
void count_write_failure(RunTotals* t, const char* path, ErrorCode e, bool named) {
    ++t->write_failures;
    if (named) return;
    report_path_error("ERROR: Cannot modify file \"", path, e);
}

void add_fixes(RunTotals* t, const PassCounts& n, PassMode form) {
    t->boms_fixed += n.bom;
    t->line_feeds_fixed += line_ends(n) - already_in_form(n, form);
}

// Large files are collected only when the memory they take is there: past
// the memory the process may have, the system would end it instead of
// failing an allocation. Small files need no such care.
constexpr uint64_t kCheckedSize = 4u << 20;
constexpr uint64_t kMemoryReserve = 16u << 20;

bool memory_budget(uint64_t size, uint64_t* budget) {
    if (size < kCheckedSize) return false;
    uint64_t room = mem_available();
    if (room == ~0ull) return false;
    room += chunks_cached_bytes();
    *budget = room > kMemoryReserve ? room - kMemoryReserve : 0;
    return true;
}

} // namespace

#ifdef EOLSET_TEST_HOOKS
void convert_set_count_seed(const PassCounts* seed) {
    g_count_seed = seed;
}
#endif

ErrorCode convert_file(RunTotals* t, const char* path, const FileEntry* entry) {
    ++t->files_processed;
    if (entry->is_directory) return 0;

    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e;
    ErrorCode write_open_error = 0;
    bool writable = false;
    if (!t->test_only) {
        e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ | FOPEN_SET_INFO | FOPEN_WRITE);
        writable = e == 0;
        write_open_error = e;
        if (e != 0) {
            file_close(h); // an open can fail and still hand back a handle
            h = INVALID_FILE_HANDLE;
            e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ);
        }
    } else {
        e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ);
    }
    e = keep_regular_file(&h, e); // devices, pipes, pseudo files: never read
    if (e == 0 && !is_listed_file(h, entry)) {
        file_close(h);
        h = INVALID_FILE_HANDLE;
        e = ERROR_FILE_NOT_FOUND; // the entry listed is not there any more
    }
    if (e != 0) {
        ++t->open_failures;
        report_unreadable_file(path, e);
    }
    if (!handle_is_valid(h)) {
        file_close(h);
        return 0;
    }

    // A file that may be rewritten is judged on the bytes it held when it
    // was opened; a change by another program since then is seen before the
    // rewrite.
    uint64_t size_at_open = 0;
    int64_t time_at_open = 0;
    uint64_t limit = ~0ull;
    if (!t->test_only && file_query_size_time(h, &size_at_open, &time_at_open) == 0)
        limit = size_at_open;
    uint64_t budget = 0;
    bool budgeted = !t->test_only && memory_budget(size_at_open, &budget);

    bool fixed = false;
    PassMode form = t->to_unix ? PASS_UNIX : PASS_WINDOWS;
    Pass pass{};
    ConvertedText text{};
    bool collected = false;
    bool output_pass = !t->test_only && (t->to_unix || t->to_windows);
    bool probe = !t->force;
    if (!output_pass) {
        run_pass(h, PASS_COUNT, limit, nullptr, nullptr, probe, &pass);
        probe = false;
        if (pass.error == 0 && !pass.binary) {
            const PassCounts& n = pass.counts;
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
    if (pass.error == 0 && !pass.binary && output_pass) {
        run_pass(h, form, limit, budgeted ? &budget : nullptr, &text, probe, &pass);
        collected = pass.changes; // a binary file's pass stops before any change
    }
    if (pass.error != 0) {
        count_read_failure(t, path, pass.error);
    } else if (pass.binary) {
        ++t->binary_left;
    } else if (collected && converted_failure(&text) != 0) {
        count_read_failure(t, path, converted_failure(&text));
    } else if (collected && !writable) {
        count_write_failure(t, path, write_open_error, false);
    } else if (collected) {
        RewriteJob job{h, path, &text, pass.length, time_at_open};
        // Shorter than it was when opened: another program cut it meanwhile.
        RewriteOutcome outcome = pass.length == limit ? rewrite_in_place(&job) : REWRITE_UNTOUCHED;
        if (outcome == REWRITE_DONE) {
            // Counted only once the file holds the new text.
            add_fixes(t, pass.counts, form);
            fixed = true;
            if (t->preserve_time) file_set_write_time(h, time_at_open);
        } else {
            count_write_failure(t, path, 0, outcome == REWRITE_RESCUED || outcome == REWRITE_LOST);
        }
    }
    if (collected) converted_release(&text);
    if (fixed) {
        ++t->files_fixed;
        ShownPath shown;
        const char* pieces[] = {shown_path(path, &shown), "\n"};
        print_pieces(false, pieces, 2);
        shown_release(&shown);
    }
    file_close(h);
    return 0;
}
