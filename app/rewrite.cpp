#include "app/rewrite.h"

#include "app/journal_home.h"
#include "app/room.h"
#include "app/stream.h"
#include "app/eol.h"

#include "base/alloc.h"
#include "base/fileinfo.h"
#include "base/transfer.h"
#include "platform/nt.h"
#include "base/test_control.h"

#include <cstring>

namespace {

// 256 KiB: the window, its new text and the bytes kept stay in the
// processor's cache, which larger windows lose to more time than they save in
// calls.
constexpr uint64_t kDefaultWindow = 1u << 18;
uint64_t g_window_size = kDefaultWindow;
// Windows refuses to cut a file that another program has mapped: a shrinking
// rewrite tests the cut before it overwrites anything.
#ifdef _WIN32
bool g_probe_cut = true;
#else
bool g_probe_cut = false;
#endif

struct WindowMemory {
    unsigned char* in;    // the original bytes of the window
    unsigned char* out;   // their new text (up to twice as long)
    unsigned char* spare; // bytes to keep that lie outside the window
    uint64_t size;
};
// Each thread that rewrites files has a window of its own.
thread_local WindowMemory g_memory;

uint64_t min64(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}
uint64_t max64(uint64_t a, uint64_t b) {
    return a > b ? a : b;
}

// The original bytes [p, p + n), from the journal where the file no longer holds them.
ErrorCode read_original(Stream* s, uint64_t p, unsigned char* bytes, uint64_t n) {
    uint64_t from = p, to = p + n; // what the file itself still holds
    if (s->journaled) {
        const JournalHead& head = s->journal.head;
        if (!s->backward && from < head.saved) {
            uint64_t m = min64(to, head.saved) - from;
            if (ErrorCode e = journal_load(&s->journal, from, bytes, m)) return e;
            from += m;
        }
        if (s->backward && to > head.saved && head.saved < s->old_length) {
            uint64_t q = max64(from, head.saved);
            if (ErrorCode e = journal_load(&s->journal, q, bytes + (q - p), to - q)) return e;
            to = q;
        }
    }
    if (to > from)
        if (ErrorCode e = handle_read_at(s->h, from, bytes + (from - p), to - from)) return e;
    if (s->journaled && (s->journal.head.probe & JOURNAL_PROBED) && p + n == s->old_length && n)
        bytes[n - 1] = static_cast<unsigned char>(s->journal.head.probe);
    return 0;
}

// Calls fn(offset, bytes, count) over the original [lo, hi), taking what
// lies in [at, at + n) from `window` and the rest from where it is kept.
template <class Fn>
ErrorCode each_original(Stream* s, uint64_t lo, uint64_t hi, const unsigned char* window,
                        uint64_t at, uint64_t n, Fn fn) {
    while (lo < hi) {
        uint64_t m;
        const unsigned char* bytes;
        if (window && lo >= at && lo < at + n) {
            m = min64(hi, at + n) - lo;
            bytes = window + (lo - at);
        } else {
            uint64_t edge = window && lo < at ? at : ~0ull;
            m = min64(min64(hi, edge) - lo, g_memory.size);
            if (ErrorCode e = read_original(s, lo, g_memory.spare, m)) return e;
            bytes = g_memory.spare;
        }
        if (ErrorCode e = fn(lo, bytes, m)) return e;
        lo += m;
    }
    return 0;
}

// Keeps the original [lo, hi) in the journal.
ErrorCode keep(Stream* s, uint64_t lo, uint64_t hi, const unsigned char* window, uint64_t at,
               uint64_t n) {
    return each_original(s, lo, hi, window, at, n,
                         [s](uint64_t p, const unsigned char* bytes, uint64_t m) {
                             return journal_save(&s->journal, p, bytes, m);
                         });
}

// A record whose saved range has not changed since the last.
ErrorCode commit_again(Stream* s) {
    JournalHead& head = s->journal.head;
    head.read = s->read;
    head.write = s->write;
    head.saved = s->mark;
    head.end = s->end;
    head.tail = s->tail;
    head.saved_sum = s->saved_sum;
    head.done_sum = s->done_sum;
    return journal_progress(&s->journal);
}

// Records where the rewrite stands, with the sum of the saved bytes a later
// step reads back; the write that follows may then overwrite what the
// record says is kept or converted.
ErrorCode commit(Stream* s, const unsigned char* window, uint64_t at, uint64_t n) {
    JournalHead head = s->journal.head;
    head.read = s->read;
    head.saved = s->mark;
    uint64_t lo = 0, hi = 0;
    journal_live_range(head, &lo, &hi);
    uint64_t sum = 0;
    if (ErrorCode e = each_original(s, lo, hi, window, at, n,
                                    [&sum](uint64_t p, const unsigned char* bytes, uint64_t m) {
                                        sum += journal_region_sum(p, bytes, m);
                                        return ErrorCode{0};
                                    }))
        return e;
    s->saved_sum = sum;
    return commit_again(s);
}

// Writes new text at `at` and adds it to the sum of what the file holds.
ErrorCode write_text(Stream* s, uint64_t at, const unsigned char* text, uint64_t n) {
    if (ErrorCode e = handle_write_at(s->h, at, text, n)) return e;
    s->done_sum += journal_region_sum(at, text, n);
    return 0;
}

ErrorCode open_journal(Stream* s, const unsigned char* initial, uint64_t n) {
    const RewriteJob* job = s->job;
    JournalHead head{};
    head.flags = (s->windows ? JOURNAL_WINDOWS : 0) | (s->backward ? JOURNAL_BACKWARD : 0) |
                 (job->keep_time ? JOURNAL_KEEP_TIME : 0) | (s->keep_boms ? JOURNAL_KEEP_BOMS : 0) |
                 (s->keep_first_bom ? JOURNAL_KEEP_FIRST_BOM : 0);
    head.old_length = s->old_length;
    head.new_length = s->new_length;
    head.start = s->start;
    head.write_time = job->write_time;
    // The file's identity as the walk listed it, or asked of the file (a
    // file named on its own): the next run acts only on this file.
    FileEntry self{};
    const FileEntry* id = job->entry;
    if (!id || (id->file_id[0] == 0 && id->file_id[1] == 0)) {
        if (ErrorCode e = file_query_entry(s->h, &self)) return e;
        id = &self;
    }
    if (id->file_id[0] == 0 && id->file_id[1] == 0) return ERROR_NOT_SUPPORTED;
    head.file_id[0] = id->file_id[0];
    head.file_id[1] = id->file_id[1];
    head.read = s->read;
    head.write = s->write;
    head.saved = s->mark;
    head.end = s->end;
    // The bytes that come with the first write are those of the saved range.
    s->saved_sum = journal_region_sum(s->start, initial, n);
    head.saved_sum = s->saved_sum;
    head.done_sum = s->done_sum;
    ErrorCode e = journal_create(&s->journal, job->path, &head, initial, n);
    s->journaled = e == 0;
    return e;
}

// Whether the file may be cut: its last byte off and back on. The journal
// holds the byte meanwhile. A failure before the byte is off leaves the file
// as it was.
ErrorCode probe_cut(Stream* s, bool* touched) {
    *touched = false;
    JournalHead& head = s->journal.head;
    unsigned char last = 0;
    if (ErrorCode e = read_original(s, s->old_length - 1, &last, 1)) return e;
    head.probe = JOURNAL_PROBED | last;
    if (ErrorCode e = commit_again(s)) return e;
    if (ErrorCode e = file_set_end(s->h, s->old_length - 1)) return e;
    *touched = true;
    if (ErrorCode e = file_set_end(s->h, s->old_length)) return e;
    if (ErrorCode e = handle_write_at(s->h, s->old_length - 1, &last, 1)) return e;
    head.probe = 0;
    return commit_again(s);
}

// Nothing is written yet: checks and the start of the journal, which holds
// the `n` original bytes at `initial` from s->start on (s->mark is past them).
// *touched tells whether a failure left the file changed.
ErrorCode begin(Stream* s, bool* touched, const unsigned char* initial, uint64_t n) {
    *touched = false;
    uint64_t text_end = s->backward ? s->new_length : s->old_length;
    const RewriteJob* job = s->job;
    if (ErrorCode e = room_check(s->h, job->entry ? job->entry->volume_id : nullptr, job->allocated,
                                 s->old_length, s->start, text_end))
        return e;
    if (ErrorCode e = open_journal(s, initial, n)) return e;
    ErrorCode e = 0;
    if (s->backward) {
        // Extending reserves the room, so that a full disk shows before any
        // byte is overwritten.
        e = file_set_end(s->h, s->new_length);
        if (e != 0) {
            uint64_t length = 0;
            int64_t time = 0;
            if (file_query_size_time(s->h, &length, &time) != 0 || length != s->old_length)
                *touched = file_set_end(s->h, s->old_length) != 0;
        }
    } else if (g_probe_cut && s->old_length > 0) {
        e = probe_cut(s, touched);
    }
    if (e != 0 && !*touched) {
        journal_remove(&s->journal);
        s->journaled = false;
    }
    return e;
}

// The first byte at or after which the new text differs from the old.
uint64_t first_difference(const unsigned char* a, const unsigned char* b, uint64_t n) {
    uint64_t i = 0;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Judges the bytes of the file from scan->bytes to its end, read into the
// spare window, stopping once it is certain that the file is binary.
ErrorCode judge_rest(Stream* s, BinaryScan* scan) {
    while (scan->bytes < s->old_length && !binary_certain(*scan, s->old_length)) {
        uint64_t m = min64(g_memory.size, s->old_length - scan->bytes);
        if (ErrorCode e = handle_read_at(s->h, scan->bytes, g_memory.spare, m)) return e;
        binary_scan(scan, g_memory.spare, m);
    }
    return 0;
}

// What becomes of the marks in a window that begins at file offset `at`.
uint8_t marks_at(const Stream* s, uint64_t at) {
    if (s->keep_boms) return MARKS_KEPT;
    return s->keep_first_bom && at == 0 ? MARK_AT_START_KEPT : MARKS_REMOVED;
}

// Forward, from s->read to the end: each window's new text goes behind what
// was read. Until the first change nothing is written, nor any journal made.
// *early is set when the rewrite ends before anything was written. A job
// that judges the file reads the rest of it before the first write, and
// leaves it alone when it is binary.
ErrorCode forward(Stream* s, RewriteOutcome* early) {
    unsigned char* in = g_memory.in;
    unsigned char* out = g_memory.out;
    const uint64_t size = g_memory.size;
    BinaryScan scan{}; // the bytes judged: [0, scan.bytes)
    bool judging = !s->journaled && s->job->judge_binary;
    while (s->read < s->old_length) {
        uint64_t at = s->read;
        uint64_t n = min64(size, s->old_length - at);
        if (ErrorCode e = read_original(s, at, in, n)) {
            if (!s->journaled) *early = REWRITE_UNREAD;
            return e;
        }
        // Windows overlap by the bytes of a token cut at the last one's end.
        if (judging && at + n > scan.bytes) {
            binary_scan(&scan, in + (scan.bytes - at), at + n - scan.bytes);
            if (binary_certain(scan, s->old_length)) {
                *early = REWRITE_BINARY;
                return 0;
            }
        }
        uint64_t c = at + n == s->old_length ? n : eol_boundary_before(in, n, n - 2);
        if (!s->journaled && !s->windows) {
            // LF text needs no change where it holds no CR nor a mark's first
            // byte: counted at memory speed, passed over.
            uint64_t lf = 0;
            if (eol_count_lf(in, in + c, &lf) == in + c) {
                s->counts->lf += lf;
                s->read += c;
                s->write += c;
                continue;
            }
        }
        s->counts_at_read = *s->counts;
        uint64_t length = eol_convert(in, c, out, s->windows, marks_at(s, at), s->counts);
        uint64_t skip = 0;
        if (!s->journaled) {
            if (!eol_changes(s->counts_at_read, *s->counts, s->windows)) {
                s->read += c;
                s->write += c;
                continue;
            }
            skip =
                eol_changed_token(in, n, first_difference(in, out, min64(c, length)), s->windows);
            s->start = s->read = s->write = at + skip;
            // The bytes the first write covers go with the journal's head,
            // as far as the window holds them.
            uint64_t first =
                (at + c == s->old_length ? at + n : min64(s->write + (length - skip), at + n)) -
                s->start;
            s->mark = s->start + first;
            if (at + c == s->old_length) s->end = s->write + (length - skip);
            if (judging) {
                if (ErrorCode e = judge_rest(s, &scan)) {
                    *early = REWRITE_UNREAD;
                    return e;
                }
                if (binary_certain(scan, scan.bytes)) {
                    *early = REWRITE_BINARY;
                    return 0;
                }
                judging = false;
            }
            bool touched = false;
            if (ErrorCode e = begin(s, &touched, in + skip, first)) {
                if (!touched) *early = REWRITE_UNTOUCHED;
                return e;
            }
        }
        // Taken from the window's first change on: the bytes before it are
        // the same in both texts. The last window keeps the whole rest of the
        // old text: a later run tells by it whether the file was cut already.
        uint64_t end = s->write + (length - skip);
        uint64_t lo = max64(s->read, s->mark);
        uint64_t hi = at + c == s->old_length ? max64(end, s->old_length) : end;
        if (hi > lo) {
            if (ErrorCode e = keep(s, lo, hi, in, at, n)) return e;
            s->mark = hi;
        }
        // The last window's write leaves only the cut: the length it cuts to
        // tells a later run that finds the file cut that it is done.
        if (at + c == s->old_length) s->end = end;
        if (ErrorCode e = commit(s, in, at, n)) return e;
        if (ErrorCode e = write_text(s, s->write, out + skip, length - skip)) return e;
        s->read += c - skip;
        s->write += length - skip;
    }
    if (judging && binary_certain(scan, scan.bytes)) *early = REWRITE_BINARY;
    return 0;
}

// Backward, from s->read down to s->start: each window's new text goes in
// front of what was written, above what is still to be read.
ErrorCode backward(Stream* s) {
    unsigned char* in = g_memory.in;
    unsigned char* out = g_memory.out;
    const uint64_t size = g_memory.size;
    PassCounts scratch{};
    while (s->read > s->start) {
        uint64_t r = s->read;
        uint64_t a = r - s->start > size ? r - size : s->start;
        uint64_t from = a - s->start >= 2 ? a - 2 : s->start; // two bytes to judge a boundary
        uint64_t n = r - from;
        if (ErrorCode e = read_original(s, from, in, n)) return e;
        uint64_t c = a == s->start ? 0 : eol_boundary_after(in, n, a - from);
        uint64_t length =
            eol_convert(in + c, n - c, out, s->windows, marks_at(s, from + c), &scratch);
        uint64_t to = s->write - length;
        uint64_t lo = max64(s->start, to), hi = min64(r, s->mark);
        if (hi > lo) {
            if (ErrorCode e = keep(s, lo, hi, in, from, n)) return e;
            s->mark = lo;
        }
        if (ErrorCode e = commit(s, in, from, n)) return e;
        if (ErrorCode e = write_text(s, to, out, length)) return e;
        s->write = to;
        s->read = from + c;
    }
    return commit(s, nullptr, 0, 0); // done: a journal left now has nothing to do
}

// Moves the appended bytes the journal holds behind the new text and cuts
// the file there.
ErrorCode move_tail(Stream* s) {
    for (uint64_t p = 0; p < s->tail;) {
        uint64_t m = min64(g_memory.size, s->tail - p);
        if (ErrorCode e = journal_load(&s->journal, s->old_length + p, g_memory.spare, m)) return e;
        if (ErrorCode e = handle_write_at(s->h, s->write + p, g_memory.spare, m)) return e;
        p += m;
    }
    return file_set_end(s->h, s->write + s->tail);
}

// What another program appended while a shrinking rewrite ran lies behind the
// old length: it goes to the journal first, then behind the new text, so
// that a kill at any moment of the move leaves it whole somewhere.
ErrorCode cut_forward(Stream* s) {
    if (s->tail == 0) {
        uint64_t now = 0;
        int64_t time = 0;
        if (ErrorCode e = file_query_size_time(s->h, &now, &time)) return e;
        if (now <= s->old_length) return s->write != now ? file_set_end(s->h, s->write) : 0;
        uint64_t tail = now - s->old_length, sum = 0;
        for (uint64_t p = s->old_length; p < now;) {
            uint64_t m = min64(g_memory.size, now - p);
            if (ErrorCode e = handle_read_at(s->h, p, g_memory.spare, m)) return e;
            if (ErrorCode e = journal_save(&s->journal, p, g_memory.spare, m)) return e;
            sum += journal_region_sum(p, g_memory.spare, m);
            p += m;
        }
        s->mark = now;
        s->tail = tail;
        s->end = s->write + tail;
        s->saved_sum = sum;
        if (ErrorCode e = commit_again(s)) return e;
    }
    return move_tail(s);
}

void release_memory() {
    mem_free(g_memory.in);
    mem_free(g_memory.out);
    mem_free(g_memory.spare);
    g_memory = WindowMemory{};
}

} // namespace

bool stream_have_window() {
    if (g_memory.in && g_memory.size == g_window_size) return true;
    release_memory();
    uint64_t n = g_window_size;
    g_memory.in = static_cast<unsigned char*>(mem_malloc(n + 16));
    g_memory.out = static_cast<unsigned char*>(mem_malloc(2 * n + 16));
    g_memory.spare = static_cast<unsigned char*>(mem_malloc(n + 16));
    g_memory.size = n;
    if (g_memory.in && g_memory.out && g_memory.spare) return true;
    release_memory();
    return false;
}

unsigned char* stream_window(uint64_t* size) {
    *size = g_memory.size;
    return g_memory.in;
}

ErrorCode stream_run(Stream* s, RewriteOutcome* early) {
    if (s->backward) return backward(s);
    if (ErrorCode e = forward(s, early)) return e;
    if (!s->journaled) return 0;
    return cut_forward(s);
}

void stream_rewind(Stream* s) {
    const JournalHead& head = s->journal.head;
    s->read = head.read;
    s->write = head.write;
    s->mark = head.saved;
    s->end = head.end;
    s->tail = head.tail;
    s->done_sum = head.done_sum;
    s->saved_sum = head.saved_sum;
    *s->counts = s->counts_at_read;
}

ErrorCode stream_undo_probe(Stream* s) {
    JournalHead& head = s->journal.head;
    if (!(head.probe & JOURNAL_PROBED)) return 0;
    unsigned char last = static_cast<unsigned char>(head.probe);
    if (ErrorCode e = file_set_end(s->h, s->old_length)) return e;
    if (ErrorCode e = handle_write_at(s->h, s->old_length - 1, &last, 1)) return e;
    head.probe = 0;
    return commit_again(s);
}

bool stream_cut_done(const JournalHead& head, uint64_t length) {
    // While the cut is tested nothing is overwritten yet: a file one byte
    // short is the test's, even where the new text is one byte shorter.
    if (head.probe & JOURNAL_PROBED) return false;
    return head.end != 0 && head.end != head.old_length && length == head.end;
}

void stream_finish(Stream* s) {
    if (s->journal.head.flags & JOURNAL_KEEP_TIME)
        file_set_write_time(s->h, s->journal.head.write_time);
    journal_remove(&s->journal);
    s->journaled = false;
}

#ifdef EOLSET_TEST_HOOKS
void rewrite_set_window(uint64_t size, bool probe_cut) {
    g_window_size = size ? size : kDefaultWindow;
    g_probe_cut = probe_cut;
}
#endif

void rewrite_release_thread() {
    release_memory();
}

void rewrite_release_window() {
    release_memory();
    journal_forget_folder();
    room_forget();
}

RewriteOutcome rewrite_file(const RewriteJob* job, PassCounts* counts, ErrorCode* error,
                            char** journal) {
    *error = 0;
    *journal = nullptr;
    if (!stream_have_window()) {
        *error = ERROR_OUTOFMEMORY;
        return REWRITE_UNREAD;
    }
    // Another program changed the file since it was judged: not ours to judge now.
    uint64_t size = 0;
    int64_t time = 0;
    if (!job->judged_at_open && (file_query_size_time(job->handle, &size, &time) != 0 ||
                                 size != job->old_length || time != job->write_time))
        return REWRITE_UNTOUCHED;
    Stream s{};
    s.h = job->handle;
    s.job = job;
    s.windows = job->windows;
    s.keep_boms = job->keep_boms;
    s.keep_first_bom = job->keep_first_bom;
    s.backward = job->backward;
    s.old_length = job->old_length;
    s.counts = counts;
    if (s.backward) {
        s.new_length = job->new_length;
        s.start = job->start;
        s.read = s.mark = s.old_length;
        s.write = s.new_length;
        bool touched = false;
        if (ErrorCode e = begin(&s, &touched, nullptr, 0)) {
            *error = e;
            if (!touched) return REWRITE_UNTOUCHED;
        }
    }
    RewriteOutcome early = REWRITE_DONE;
    ErrorCode e = stream_run(&s, &early);
    if (e != 0 && s.journaled) {
        // One more try from where the journal stands: a step that failed once
        // may not fail again.
        stream_rewind(&s);
        e = stream_undo_probe(&s);
        if (e == 0) e = stream_run(&s, &early);
    }
    *error = e;
    if (!s.journaled) return e != 0 ? early : (early == REWRITE_DONE ? REWRITE_UNCHANGED : early);
    if (e != 0) {
        *journal = s.journal.name; // the caller names it
        s.journal.name = nullptr;
        journal_close(&s.journal);
        return REWRITE_PENDING;
    }
    // The old time back before the journal goes: a kill in between leaves
    // the journal, whose recovery sets it.
    stream_finish(&s);
    return REWRITE_DONE;
}
