#include "app/convert.h"

#include "app/reader.h"
#include "app/report.h"
#include "app/rewrite.h"
#include "app/window.h"
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

// Counts the file's line ends and marks. The reader is asked to refill and
// to peek exactly when a byte-by-byte loop would ask it, so the file is read
// in the same slices. *first_windows_change receives the offset of the first
// line end or mark that CR LF text would change.
void count_body(LookAheadReader* r, PassCounts* n, uint64_t* first_windows_change) {
    constexpr uint64_t kNone = ~0ull;
    for (;;) {
        if (r->position >= r->filled && reader_refill(r)) return;
        const unsigned char* base = r->buffer;
        const unsigned char* p = base + r->position;
        const unsigned char* e = base + r->filled;
        uint64_t lf_before = n->lf;
        const unsigned char* s = count_to_cr_or_ef(p, e, &n->lf);
        // The line feeds tallied in bulk are all without a CR before them.
        if (*first_windows_change == kNone && n->lf != lf_before) {
            const void* at = memchr(p, 0x0A, static_cast<size_t>(s - p));
            *first_windows_change =
                r->total_read - r->filled +
                static_cast<uint64_t>(static_cast<const unsigned char*>(at) - base);
        }
        if (s == e) {
            r->position = r->filled;
            continue;
        }
        uint64_t offset = r->total_read - r->filled + static_cast<uint64_t>(s - base);
        r->position = static_cast<uint64_t>(s - base) + 1;
        bool change = true;
        if (*s == 0x0D) {
            unsigned char next = reader_peek(r, 0);
            if (next == 0x0A) {
                reader_skip(r, 1);
                ++n->crlf;
                change = false;
            } else if (next == 0x0D && reader_peek(r, 1) == 0x0A) {
                reader_skip(r, 2);
                ++n->crcrlf;
            } else {
                ++n->lone_cr;
            }
        } else if (reader_peek(r, 0) == 0xBB && reader_peek(r, 1) == 0xBF) { // 0xEF
            reader_skip(r, 2);
            ++n->bom;
        } else {
            change = false;
        }
        if (change && *first_windows_change == kNone) *first_windows_change = offset;
    }
}

struct Pass {
    PassCounts counts;
    uint64_t length;               // bytes read
    uint64_t first_windows_change; // see count_body; all-ones when none
    bool binary;                   // the first block shows binary data; nothing more was read
    ErrorCode error;               // the reader's failure, or a failed rewind
};

// One counting pass from byte 0 to the end, reading at most `limit` bytes.
// With `probe`, a file whose first block looks binary ends the pass there.
void run_pass(FileHandle h, uint64_t limit, bool probe, Pass* pass) {
    *pass = Pass{};
    pass->first_windows_change = ~0ull;
#ifdef EOLSET_TEST_HOOKS
    if (g_count_seed) pass->counts = *g_count_seed;
#endif
    // The handle was opened for this pass: it stands at byte 0.
    LookAheadReader r;
    reader_create(&r, h, READER_SLICE);
    r.limit = limit;
    if (probe && r.error == 0) {
        // The block the pass would read first anyway.
        reader_refill(&r);
        pass->binary = r.error == 0 && looks_binary(r.buffer, r.filled);
    }
    if (!pass->binary) count_body(&r, &pass->counts, &pass->first_windows_change);
    pass->error = r.error;
    pass->length = r.total_read;
    reader_release(&r);
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

// A file that needed changing and was left as it was. A file whose rewrite
// was cut short has been named already, with where its journal is.
void count_write_failure(RunTotals* t, const char* path, ErrorCode e, bool named) {
    ++t->write_failures;
    if (named) return;
    report_path_error("ERROR: Cannot modify file \"", path, e);
}

void add_fixes(RunTotals* t, const PassCounts& n, PassMode form) {
    t->boms_fixed += n.bom;
    t->line_feeds_fixed += line_ends(n) - already_in_form(n, form);
}

} // namespace

#ifdef EOLSET_TEST_HOOKS
void convert_set_count_seed(const PassCounts* seed) {
    g_count_seed = seed;
}
#endif

bool looks_binary(const unsigned char* p, uint64_t n) {
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) return true;
    return memchr(p, 0, n < kBinaryProbe ? n : kBinaryProbe) != nullptr;
}

bool file_is_entry(FileHandle h, const FileEntry* entry) {
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

namespace {

void print_fixed(const char* path) {
    ShownPath shown;
    const char* pieces[] = {shown_path(path, &shown), "\n"};
    print_pieces(false, pieces, 2);
    shown_release(&shown);
}

} // namespace

ErrorCode convert_file(RunTotals* t, const char* path, const FileEntry* entry) {
    return convert_file_deferred(t, path, entry, nullptr);
}

void take_pending_fix(RunTotals* t, const char* path, const FileEntry* entry,
                      const PendingFix& fix) {
    // A second visit finds the file as the first left it.
    if (!fix.pending || !seen_first_fix(entry)) return;
    t->boms_fixed += fix.boms;
    t->line_feeds_fixed += fix.line_feeds;
    ++t->files_fixed;
    print_fixed(path);
}

ErrorCode convert_file_deferred(RunTotals* t, const char* path, const FileEntry* entry,
                                PendingFix* fix) {
    if (is_journal_name(path)) return 0; // the program's own, never input
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
    // Devices, pipes, pseudo files: never read. The query that tells them
    // apart also gives the file's id, length and write time at the open.
    OpenFileFacts facts{};
    bool known = false;
    e = keep_listed_regular_file(&h, e, entry, &facts, &known);
    bool listed = known && entry->file_id[1] == 0
                      ? (entry->file_id[0] == 0 || facts.id == entry->file_id[0])
                      : e == 0 && file_is_entry(h, entry);
    if (e == 0 && !listed) {
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
    uint64_t size_at_open = facts.size;
    int64_t time_at_open = facts.write_time;
    uint64_t limit = known ? size_at_open : ~0ull;
    if (!known && !t->test_only && file_query_size_time(h, &size_at_open, &time_at_open) == 0)
        limit = size_at_open;

    bool fixed = false;
    PassMode form = t->to_unix ? PASS_UNIX : PASS_WINDOWS;
    RewriteJob job{};
    job.handle = h;
    job.path = path;
    job.entry = entry;
    job.keep_time = t->preserve_time;
    job.old_length = size_at_open;
    job.write_time = time_at_open;
    job.allocated = known ? facts.allocated : ~0ull;
    bool rewrite = false;
    PassCounts counts{};
    if (!t->test_only && t->to_unix && writable && limit != ~0ull) {
        // Converted forward at once: the rewrite counts as it goes and
        // writes nothing while nothing changes.
        job.probe_binary = !t->force;
        job.judged_at_open = true;
        rewrite = true;
#ifdef EOLSET_TEST_HOOKS
        if (g_count_seed) counts = *g_count_seed;
#endif
    } else {
        Pass pass{};
        run_pass(h, limit, !t->force, &pass);
        const PassCounts& n = pass.counts;
        if (pass.error != 0) {
            count_read_failure(t, path, pass.error);
        } else if (pass.binary) {
            ++t->binary_left;
        } else {
            if (!t->to_unix && !t->to_windows) form = n.lf >= n.crlf ? PASS_UNIX : PASS_WINDOWS;
            if (!needs_change(n, form)) {
                // In the form already.
            } else if (t->test_only) {
                PendingFix found{true, n.bom, line_ends(n) - already_in_form(n, form)};
                if (fix)
                    *fix = found;
                else
                    take_pending_fix(t, path, entry, found);
            } else if (!writable) {
                count_write_failure(t, path, write_open_error, false);
            } else if (pass.length != limit) {
                // Shorter than it was when opened: another program cut it meanwhile.
                count_write_failure(t, path, 0, false);
            } else {
                rewrite = true;
#ifdef EOLSET_TEST_HOOKS
                if (g_count_seed) counts = *g_count_seed;
#endif
                if (form == PASS_WINDOWS) {
                    // CR LF text grows where a line end gains its CR; it is
                    // written backward from the end then, unless other line
                    // ends and removed marks shrink it overall.
                    uint64_t grows = n.lf + n.lone_cr;
                    uint64_t shrinks = n.crcrlf + 3 * n.bom;
                    job.new_length = size_at_open + grows - shrinks;
                    job.backward = grows > 0 && (shrinks == 0 || grows > shrinks);
                    job.start = pass.first_windows_change;
                }
                // A backward rewrite takes the counts of this pass; a forward one counts anew.
                if (job.backward) counts = n;
            }
        }
    }
    if (rewrite) {
        job.windows = form == PASS_WINDOWS;
        PassCounts found = counts;
        ErrorCode error = 0;
        RewriteOutcome outcome = rewrite_file(&job, &found, &error);
        if (!job.backward) counts = found;
        switch (outcome) {
        case REWRITE_DONE:
            // Counted only once the file holds the new text.
            add_fixes(t, counts, form);
            fixed = true; // with -p the rewrite gave the old time back
            break;
        case REWRITE_UNCHANGED:
            break;
        case REWRITE_BINARY:
            ++t->binary_left;
            break;
        case REWRITE_UNREAD:
            count_read_failure(t, path, error);
            break;
        case REWRITE_UNTOUCHED:
            count_write_failure(t, path, error, false);
            break;
        case REWRITE_PENDING:
            count_write_failure(t, path, error, true);
            break;
        }
    }
    if (fixed) {
        ++t->files_fixed;
        print_fixed(path);
    }
    file_close(h);
    return 0;
}
