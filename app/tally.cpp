#include "app/tally.h"

#include "app/journal_home.h"
#include "app/options.h"
#include "app/seen.h"
#include "base/utf.h"
#include "base/output.h"

namespace {

void print_fixed(NameStyle names, const char* path) {
    if (names == NAMES_NONE) return;
    ShownPath shown;
    const char* name = shown_path(path, &shown);
    const char* pieces[] = {name, "\n"};
    uint64_t lengths[] = {str_len(name), 1};
    if (names == NAMES_NUL) pieces[1] = ""; // its one byte: the NUL
    print_bytes(false, pieces, lengths, 2);
    shown_release(&shown);
}

void say_pending(const char* path, const char* journal) {
    ShownPath shown_file{}, shown_journal{};
    const char* pieces[] = {"ERROR: Could not finish rewriting \"", shown_path(path, &shown_file),
                            "\"; the next run finishes it from \"",
                            shown_path(journal, &shown_journal), "\".\n"};
    print_pieces(true, pieces, 5);
    shown_release(&shown_file);
    shown_release(&shown_journal);
}

void count_fix(const Tally* tally, const char* path, const FileResult& r) {
    RunCounts* t = tally->counts;
    t->boms_fixed += r.boms;
    t->line_feeds_fixed += r.line_feeds;
    ++t->files_fixed;
    print_fixed(tally->names, path);
}

// A file whose bytes could not all be read is never judged on the part that
// was: it counts with the files that could not be read.
void count_unread(RunCounts* t, const char* path, ErrorCode e) {
    if (e == ERR_OUT_OF_MEMORY)
        ++t->memory_failures;
    else
        ++t->open_failures;
    report_unreadable_file(path, e);
}

void count(const Tally* tally, const char* path, const FileEntry* entry, const FileResult& r) {
    RunCounts* t = tally->counts;
    if (r.outcome == FILE_NOT_INPUT || r.outcome == FILE_NO_TARGET) return;
    ++t->files_processed;
    if (r.open_error != 0) {
        ++t->open_failures;
        report_unreadable_file(path, r.open_error);
    }
    switch (r.outcome) {
    case FILE_FIXED:
        count_fix(tally, path, r);
        break;
    case FILE_WOULD_FIX:
        // A second visit finds the file as the first left it.
        if (seen_first_fix(entry)) count_fix(tally, path, r);
        break;
    case FILE_BINARY:
        ++t->binary_left;
        break;
    case FILE_UNREAD:
        count_unread(t, path, r.error);
        break;
    case FILE_NOT_MODIFIED:
        ++t->write_failures;
        // Without a folder for journals (said once) the file is not to blame.
        report_path_error("ERROR: Cannot modify file \"", path,
                          r.error == ERR_NO_JOURNAL_FOLDER ? 0 : r.error);
        break;
    case FILE_PENDING:
        ++t->write_failures;
        if (r.journal) say_pending(path, r.journal);
        break;
    case FILE_NOT_INPUT:
    case FILE_NO_TARGET:
    case FILE_FOLDER:
    case FILE_UNOPENED:
    case FILE_UNCHANGED:
        break;
    }
}

} // namespace

void tally_take(Tally* tally, const char* path, const FileEntry* entry, FileResult* result) {
    output_batch(&tally->batch);
    count(tally, path, entry, *result);
    output_batch(nullptr);
    file_result_release(result);
}

void tally_flush(Tally* tally) {
    output_batch_flush(&tally->batch);
}

void tally_convert(Tally* tally, const Options* options, const char* path, const FileEntry* entry,
                   FileWant want) {
    FileResult r = convert_one(options, path, entry, want);
    tally_take(tally, path, entry, &r);
    tally_flush(tally);
}

void tally_release(Tally* tally) {
    output_batch_flush(&tally->batch);
    output_batch_release(&tally->batch);
}

NameStyle options_name_style(const Options* o) {
    if (o->quiet) return NAMES_NONE;
    return o->nul_names ? NAMES_NUL : NAMES_LINES;
}

void print_summary(const RunCounts* t, const Options* o) {
    if (o->check || o->quiet) return;
    // With names that end in NUL bytes the summary stays out of their way.
    void (*print_out)(const char*, ...) = o->nul_names ? print_err : ::print_out;
    bool test_only = o->test_only;
    // Counts are printed as the unsigned 64-bit numbers they are.
    if (t->files_processed) print_out("%llu files processed\n", t->files_processed);
    if (t->binary_left) print_out("%llu binary files left alone\n", t->binary_left);
    if (t->memory_failures + t->open_failures)
        print_out("%llu files could not be read\n", t->memory_failures + t->open_failures);
    if (t->write_failures) print_out("%llu files could not be modified\n", t->write_failures);
    if (t->files_fixed)
        print_out("%s %llu line feeds and %llu BOMs in %llu files\n",
                  test_only ? "would fix" : "fixed", t->line_feeds_fixed, t->boms_fixed,
                  t->files_fixed);
    if (t->folders_unread) print_out("%llu folders could not be read\n", t->folders_unread);
    if (t->links_outside)
        print_out("%llu links lead outside the folder and were not followed\n", t->links_outside);
}

int run_status(const RunCounts* t, const Options* o) {
    bool failed = t->failed || t->folders_unread || t->open_failures || t->memory_failures ||
                  t->write_failures || (o->check && t->files_fixed);
    return failed ? 1 : 0;
}

ErrorCode convert_file(RunTotals* totals, const char* path, const FileEntry* entry) {
    Options o{};
    o.to_unix = totals->to_unix;
    o.to_windows = totals->to_windows;
    o.preserve_time = totals->preserve_time;
    o.test_only = totals->test_only;
    o.force = totals->force;
    RunCounts c{};
    Tally tally{&c, {}, NAMES_LINES};
    tally_convert(&tally, &o, path, entry);
    tally_release(&tally);
    totals->boms_fixed += c.boms_fixed;
    totals->line_feeds_fixed += c.line_feeds_fixed;
    totals->files_fixed += c.files_fixed;
    totals->files_processed += c.files_processed;
    totals->open_failures += c.open_failures;
    totals->memory_failures += c.memory_failures;
    totals->write_failures += c.write_failures;
    totals->binary_left += c.binary_left;
    return 0;
}
