#include "app/recover.h"

#include "app/journal_home.h"
#include "app/report.h"
#include "app/stream.h"

#include "base/alloc.h"
#include "base/utf.h"
#include "base/filekind.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/transfer.h"
#include "base/walker.h"
#include "platform/nt.h"

#include <cstring>

namespace {

void say_recovery(const char* head, const char* path, const char* middle, const char* journal,
                  const char* tail) {
    ShownPath shown_file{}, shown_journal{};
    const char* pieces[] = {head, shown_path(path, &shown_file), middle,
                            journal ? shown_path(journal, &shown_journal) : "", tail};
    print_pieces(true, pieces, 5);
    shown_release(&shown_file);
    shown_release(&shown_journal);
}

void say_kept_journal(const char* journal, const char* reason) {
    ShownPath shown{};
    const char* pieces[] = {"ERROR: The journal \"", shown_path(journal, &shown),
                            "\" is kept and not acted on: ", reason, ".\n"};
    print_pieces(true, pieces, 5);
    shown_release(&shown);
}

void say_not_finished(const char* file, const char* reason, const char* journal) {
    ShownPath shown_file{}, shown_journal{};
    const char* pieces[] = {"ERROR: The interrupted rewrite of \"",
                            shown_path(file, &shown_file),
                            "\" is not finished: ",
                            reason,
                            "; its journal \"",
                            shown_path(journal, &shown_journal),
                            "\" is kept.\n"};
    print_pieces(true, pieces, 7);
    shown_release(&shown_file);
    shown_release(&shown_journal);
}

// The region sum of the text's bytes [lo, hi), read from `h` at `shift`
// past their offsets (the journal holds saved byte p at p + data_at - start).
ErrorCode region_sum(FileHandle h, uint64_t shift, uint64_t lo, uint64_t hi, uint64_t* sum) {
    uint64_t size = 0;
    unsigned char* buf = stream_window(&size);
    *sum = 0;
    for (uint64_t p = lo; p < hi;) {
        uint64_t m = hi - p < size ? hi - p : size;
        if (ErrorCode e = handle_read_at(h, p + shift, buf, m)) return e;
        *sum += journal_region_sum(p, buf, m);
        p += m;
    }
    return 0;
}

// Whether the file is as the rewrite left it when it last recorded its
// progress: its length one the rewrite passes through, and the new text it
// wrote still there. Null when it is; else why not.
const char* file_state(FileHandle h, const Journal& j) {
    const JournalHead& head = j.head;
    uint64_t length = 0, journal_length = 0;
    int64_t time = 0;
    if (file_query_size_time(h, &length, &time) != 0) return "the file cannot be read";
    if (journal_tail_unbounded(head)) {
        if (file_query_size_time(j.handle, &journal_length, &time) != 0)
            return "the journal cannot be read";
        if (const char* reason = journal_size_for(head, journal_length, length)) return reason;
    }
    bool backward = head.flags & JOURNAL_BACKWARD;
    // Forward, bytes appended behind the old length before the rewrite took
    // them as its tail are moved behind the new text as the rewrite would.
    // Once the last window is written the file may have been cut already and
    // appended to since: the cut is still to come only while the file holds
    // the rest of the old text, which the journal kept with the last window.
    bool probed = head.probe & JOURNAL_PROBED;
    bool appended = !backward && head.tail == 0 && !probed && length > head.old_length;
    if (appended && head.end != 0) {
        uint64_t lo = head.end > head.read ? head.end : head.read, rest = 0, kept = 0;
        if (region_sum(h, 0, lo, head.old_length, &rest) != 0 ||
            region_sum(j.handle, head.data_at - head.start, lo, head.old_length, &kept) != 0)
            return "the file cannot be read";
        appended = rest == kept;
    }
    bool fits = backward ? length == head.new_length || length == head.old_length
                         : length == head.old_length || stream_cut_done(head, length) || appended ||
                               (head.tail != 0 && length == head.old_length + head.tail) ||
                               (probed && length + 1 == head.old_length);
    if (!fits) return "the file was changed since";
    uint64_t lo = backward ? head.write : head.start;
    uint64_t hi = backward ? head.new_length : head.write;
    // Before the extension nothing was written.
    if (backward && length == head.old_length && head.write != head.new_length)
        return "the file was changed since";
    uint64_t sum = 0;
    if (region_sum(h, 0, lo, hi, &sum) != 0) return "the file cannot be read";
    if (sum != head.done_sum) return "the file was changed since";
    return nullptr;
}

// Moves the rewrite the journal records on from where it stands to its end,
// once the file is proved to be in the state the rewrite left it in. `e` is
// the open's error. Closes or removes the journal.
bool finish_journal(FileHandle h, ErrorCode e, const char* file, Journal* j) {
    const JournalHead& head = j->head;
    uint64_t length = 0;
    int64_t time = 0;
    if (e == 0) e = file_query_size_time(h, &length, &time);
    bool backward = head.flags & JOURNAL_BACKWARD;
    PassCounts counts{};
    RewriteJob job{};
    job.allocated = ~0ull;
    job.handle = h;
    job.path = file;
    Stream s{};
    s.h = h;
    s.job = &job;
    s.journal = *j;
    s.journaled = true;
    s.windows = head.flags & JOURNAL_WINDOWS;
    s.keep_boms = head.flags & JOURNAL_KEEP_BOMS;
    s.keep_first_bom = head.flags & JOURNAL_KEEP_FIRST_BOM;
    s.backward = backward;
    s.old_length = head.old_length;
    s.new_length = head.new_length;
    s.start = head.start;
    s.counts = &counts;
    stream_rewind(&s);
    if (e == 0 && backward && length != head.new_length) e = file_set_end(h, head.new_length);
    bool done = !backward && stream_cut_done(head, length);
    if (e == 0 && !done) e = stream_undo_probe(&s);
    RewriteOutcome early = REWRITE_DONE;
    if (e == 0 && !done) e = stream_run(&s, &early);
    if (e == 0) {
        stream_finish(&s);
        say_recovery("Finished the interrupted rewrite of \"", file, "\".\n", nullptr, "");
        return true;
    }
    say_recovery("ERROR: Could not finish the interrupted rewrite of \"", file,
                 "\"; its journal \"", s.journal.name, "\" is kept.\n");
    journal_close(&s.journal);
    return false;
}

// Finishes the rewrite one journal records. False when it could not be.
bool recover_one(const char* name, bool list_only) {
    Journal j{};
    char* file = nullptr;
    const char* reason = nullptr;
    JournalOpen opened = journal_open(&j, name, &file, &reason);
    if (opened == JOURNAL_BUSY) return true; // a run still going holds it
    if (opened == JOURNAL_IDLE) {
        // Its file was never touched, or is whole: nothing to finish.
        if (list_only)
            journal_close(&j);
        else
            journal_drop(&j);
        return true;
    }
    if (opened == JOURNAL_KEPT) {
        say_kept_journal(name, reason);
        return false;
    }
    const JournalHead& head = j.head;
    if (list_only) {
        say_recovery("ERROR: A rewrite of \"", file,
                     "\" was cut short; a run without -t finishes it from \"", j.name, "\".\n");
        journal_close(&j);
        mem_free(file);
        return false;
    }
    FileHandle h = INVALID_FILE_HANDLE;
    ErrorCode e = file_open(&h, file, FOPEN_QUERY | FOPEN_READ | FOPEN_SET_INFO | FOPEN_WRITE);
    FileEntry listed{};
    listed.file_id[0] = head.file_id[0];
    listed.file_id[1] = head.file_id[1];
    bool ok = false;
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) {
        // No file there any more: nothing is left to finish.
        ok = journal_remove(&j) == 0;
        say_recovery("The interrupted rewrite of \"", file, "\" is dropped: the file is gone.\n",
                     nullptr, "");
    } else if (e == 0 && !file_is_entry(h, &listed)) {
        say_not_finished(file, "another file stands at its path", j.name);
        journal_close(&j);
    } else if (e == 0 && !stream_have_window()) {
        say_not_finished(file, "out of memory", j.name);
        journal_close(&j);
    } else if (const char* state = e == 0 ? file_state(h, j) : nullptr) {
        say_not_finished(file, state, j.name);
        journal_close(&j);
    } else {
        ok = finish_journal(h, e, file, &j);
    }
    file_close(h);
    mem_free(file);
    return ok;
}

} // namespace

namespace {

// Finishes or names what the journals in `folder` hold.
bool recover_folder(const char* folder, bool list_only) {
    bool ok = true;
    FolderLevel* level = nullptr;
    if (level_open(&level, nullptr, folder, 0) != 0) return true;
    const char* name = nullptr;
    uint64_t name_offset = 0;
    FileEntry* entry = nullptr;
    while (level_next(level, &name, &name_offset, &entry) == 0) {
        const char* leaf = name + name_offset;
        if (!is_journal_name(leaf)) continue;
        if (!is_journal_proper_name(leaf)) {
            // A spare: its first write, if any, never became a journal.
            if (!entry || (!entry->is_directory && !entry->is_symlink)) journal_drop_spare(name);
            continue;
        }
        // What cannot be a journal is not even opened: a pipe could block.
        if (entry && (entry->is_directory || entry->is_symlink)) {
            say_kept_journal(name, "it is not a regular file");
            ok = false;
        } else if (entry && entry->size < sizeof(JournalHead)) {
            say_kept_journal(name, "it is shorter than its first write");
            ok = false;
        } else {
            ok = recover_one(name, list_only) && ok;
        }
    }
    level_release(level);
    return ok;
}

} // namespace

bool rewrite_recover(bool list_only) {
    bool ok = true;
    char* seen[JOURNAL_PLACES] = {};
    for (int place = 0; place < JOURNAL_PLACES; ++place) {
        ErrorCode e = 0;
        char* path = journal_place(place, &e);
        if (!path) continue; // no folder: nothing was left in one
        bool again = false;
        for (int i = 0; i < place; ++i) again = again || (seen[i] && strcmp(seen[i], path) == 0);
        seen[place] = path;
        if (again) continue;
        e = journal_place_check(path);
        if (e == 0) {
            ok = recover_folder(path, list_only) && ok;
        } else if (e == ERROR_INVALID_OWNER && place != JOURNAL_PLACE_TEMP) {
            // A folder that others may write in: what it holds is not ours to
            // trust. The shared temporary folder's candidate may be anyone's
            // (a name taken before the user came): it is passed over.
            uint64_t n = str_len(path);
            path[n - 1] = 0; // named as a folder is named
            report_path_error("ERROR: Journals are not read from \"", path, e);
            path[n - 1] = '\\';
            ok = false;
        }
    }
    for (char* path : seen) mem_free(path);
    return ok;
}
