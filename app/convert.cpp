#include "app/convert.h"

#include "app/journal.h"
#include "app/options.h"
#include "app/reader.h"
#include "app/rewrite.h"
#include "base/alloc.h"
#include "base/filekind.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/test_control.h"
#include "base/transfer.h"

#include <cstring>

namespace {

#ifdef EOLSET_TEST_HOOKS
const PassCounts* g_count_seed;
#endif

PassCounts first_counts() {
#ifdef EOLSET_TEST_HOOKS
    if (g_count_seed) return *g_count_seed;
#endif
    return PassCounts{};
}

struct Pass {
    PassCounts counts;
    uint64_t length;               // bytes read
    uint64_t first_windows_change; // see eol_count; all-ones when none
    bool binary;                   // binary data (the pass stops once that is certain)
    ErrorCode error;               // the reader's failure
};

// One counting pass from byte 0 to the end, reading at most `limit` bytes.
// With `judge`, a file is judged binary or text as it is read.
void run_pass(FileHandle h, uint64_t limit, bool judge, Pass* pass) {
    *pass = Pass{};
    pass->first_windows_change = ~0ull;
    pass->counts = first_counts();
    // The handle was opened for this pass: it stands at byte 0.
    LookAheadReader r;
    reader_create(&r, h, READER_SLICE);
    r.limit = limit;
    BinaryScan scan{};
    pass->binary =
        eol_count(&r, &pass->counts, &pass->first_windows_change, judge ? &scan : nullptr);
    pass->error = r.error;
    pass->length = r.total_read;
    reader_release(&r);
}

// The file as it was opened: for reading, and for writing when it may be
// rewritten and lets itself be.
struct Opened {
    FileHandle h;
    bool writable;
    ErrorCode write_open_error; // why it could not be opened for writing
    uint64_t size;              // at the open
    int64_t write_time;         // likewise
    uint64_t limit;             // bytes to judge it on; all-ones: to the end
    uint64_t allocated;         // ~0: not known
};

// Opens the listed file; false (with result->open_error) when there is
// nothing to read.
bool open_listed(const Options* o, const char* path, const FileEntry* entry, Opened* f,
                 FileResult* result) {
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e;
    *f = Opened{};
    if (!o->test_only) {
        e = file_open(&h, path, FOPEN_QUERY | FOPEN_READ | FOPEN_SET_INFO | FOPEN_WRITE);
        f->writable = e == 0;
        f->write_open_error = e;
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
    result->open_error = e;
    if (!handle_is_valid(h)) {
        file_close(h);
        return false;
    }
    // A file that may be rewritten is judged on the bytes it held when it
    // was opened; a change by another program since then is seen before the
    // rewrite.
    f->h = h;
    f->size = facts.size;
    f->write_time = facts.write_time;
    f->limit = known ? f->size : ~0ull;
    f->allocated = known ? facts.allocated : ~0ull;
    if (!known && !o->test_only && file_query_size_time(h, &f->size, &f->write_time) == 0)
        f->limit = f->size;
    return true;
}

void set_failure(FileResult* r, FileOutcome outcome, ErrorCode e) {
    r->outcome = outcome;
    r->error = e;
}

// Rewrites the file as `job` says, from `counts` (a backward rewrite's,
// counted already) or counting as it goes (a forward one).
void run_rewrite(RewriteJob* job, PassCounts counts, FileResult* r) {
    PassCounts found = counts;
    ErrorCode error = 0;
    char* journal = nullptr;
    RewriteOutcome outcome = rewrite_file(job, &found, &error, &journal);
    if (!job->backward) counts = found;
    switch (outcome) {
    case REWRITE_DONE:
        // Counted only once the file holds the new text; with -p the
        // rewrite gave the old time back.
        r->outcome = FILE_FIXED;
        r->boms = counts.bom;
        r->line_feeds = eol_fixes(counts, job->windows);
        break;
    case REWRITE_UNCHANGED:
        r->outcome = FILE_UNCHANGED;
        break;
    case REWRITE_BINARY:
        r->outcome = FILE_BINARY;
        break;
    case REWRITE_UNREAD:
        set_failure(r, FILE_UNREAD, error);
        break;
    case REWRITE_UNTOUCHED:
        set_failure(r, FILE_NOT_MODIFIED, error);
        break;
    case REWRITE_PENDING:
        set_failure(r, FILE_PENDING, error);
        r->journal = journal;
        break;
    }
}

// Whether the file's first bytes are a UTF-8 byte-order mark; 0, or the
// read's error. The file is `size` bytes long: fewer bytes than that are
// an error too (it was cut meanwhile).
ErrorCode starts_with_mark(FileHandle h, uint64_t size, bool* mark) {
    unsigned char b[3];
    *mark = false;
    if (size < 3) return 0;
    ErrorCode e = handle_read_at(h, 0, b, 3);
    *mark = e == 0 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    return e;
}

// Judges the file in a counting pass, then rewrites it when it needs it
// and may be.
void judge_and_rewrite(const Options* o, FileWant want, const Opened& f, RewriteJob* job,
                       FileResult* r) {
    Pass pass{};
    run_pass(f.h, f.limit, !o->force, &pass);
    // Marks that stay are no change.
    if (o->keep_boms) pass.counts.bom = 0;
    const PassCounts& n = pass.counts;
    if (pass.error != 0) return set_failure(r, FILE_UNREAD, pass.error);
    // A mark at the first byte that stays is no change either; what is
    // rewritten must agree with the counts, so a failed look is a failure.
    if (job->keep_first_bom && n.bom > 0) {
        bool mark = false;
        if (ErrorCode e = starts_with_mark(f.h, pass.length, &mark))
            return set_failure(r, FILE_UNREAD, e);
        if (mark) --pass.counts.bom;
    }
    if (pass.binary) {
        r->outcome = FILE_BINARY;
        return;
    }
    bool windows = want == WANT_LF     ? false
                   : want == WANT_CRLF ? true
                                       : options_windows(o, eol_majority_windows(n));
    r->outcome = FILE_UNCHANGED;
    if (!eol_needs_change(n, windows)) return;
    if (o->test_only) {
        r->outcome = FILE_WOULD_FIX;
        r->boms = n.bom;
        r->line_feeds = eol_fixes(n, windows);
        return;
    }
    if (!f.writable) return set_failure(r, FILE_NOT_MODIFIED, f.write_open_error);
    // Shorter than it was when opened: another program cut it meanwhile.
    if (pass.length != f.limit) return set_failure(r, FILE_NOT_MODIFIED, 0);
    job->windows = windows;
    if (windows) {
        // CR LF text grows where a line end gains its CR; it is written
        // backward from the end then, unless other line ends and removed
        // marks shrink it overall.
        uint64_t grows = n.lf + n.lone_cr;
        uint64_t shrinks = n.crcrlf + 3 * n.bom;
        job->new_length = f.size + grows - shrinks;
        job->backward = grows > 0 && (shrinks == 0 || grows > shrinks);
        job->start = pass.first_windows_change;
    }
    // A backward rewrite takes the counts of this pass; a forward one counts anew.
    run_rewrite(job, job->backward ? n : first_counts(), r);
}

} // namespace

#ifdef EOLSET_TEST_HOOKS
void convert_set_count_seed(const PassCounts* seed) {
    g_count_seed = seed;
}
#endif

void file_result_release(FileResult* result) {
    mem_free(result->journal);
    result->journal = nullptr;
}

FileResult convert_one(const Options* o, const char* path, const FileEntry* entry, FileWant want) {
    FileResult r{};
    if (is_journal_name(path)) return r; // the program's own, never input
    if (entry->is_directory) {
        r.outcome = FILE_FOLDER;
        return r;
    }
    bool keep_first_bom = (want & WANT_KEEP_FIRST_BOM) && !o->keep_boms;
    want = want_form(want);
    if (want == WANT_ALONE) {
        r.outcome = FILE_BINARY;
        return r;
    }
    test_enter_conversion(true);
    Opened f;
    r.outcome = FILE_UNOPENED;
    bool opened = open_listed(o, path, entry, &f, &r);
    // A listed link whose target is missing holds no text: left as it is.
    if (!opened && entry->is_broken_link &&
        (r.open_error == ERROR_FILE_NOT_FOUND || r.open_error == ERROR_PATH_NOT_FOUND))
        r.outcome = FILE_NO_TARGET;
    if (opened) {
        RewriteJob job{};
        job.handle = f.h;
        job.path = path;
        job.entry = entry;
        job.keep_time = o->preserve_time;
        job.keep_boms = o->keep_boms;
        job.keep_first_bom = keep_first_bom;
        job.old_length = f.size;
        job.write_time = f.write_time;
        job.allocated = f.allocated;
        bool to_unix = want == WANT_LF || (want == WANT_RUN && o->to_unix);
        if (!o->test_only && to_unix && f.writable && f.limit != ~0ull) {
            // Converted forward at once: the rewrite counts as it goes and
            // writes nothing while nothing changes.
            job.judge_binary = !o->force;
            job.judged_at_open = true;
            run_rewrite(&job, first_counts(), &r);
        } else {
            judge_and_rewrite(o, want, f, &job, &r);
        }
        file_close(f.h);
    }
    test_enter_conversion(false);
    return r;
}
