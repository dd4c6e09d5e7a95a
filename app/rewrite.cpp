#include "app/rewrite.h"

#include "app/report.h"
#include "app/window.h"

#include "base/alloc.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/transfer.h"
#include "base/utf.h"
#include "base/runtime/lock.h"
#include "base/walker.h"
#include "platform/nt.h"
#ifdef EOLSET_TEST_HOOKS
#include "app/convert_test_hooks.h"
#endif

#include <cstring>

namespace {

constexpr uint64_t kDefaultWindow = 1u << 20;
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

bool have_window() {
    if (g_memory.in && g_memory.size == g_window_size) return true;
    rewrite_release_thread();
    uint64_t n = g_window_size;
    g_memory.in = static_cast<unsigned char*>(mem_malloc(n + 16));
    g_memory.out = static_cast<unsigned char*>(mem_malloc(2 * n + 16));
    g_memory.spare = static_cast<unsigned char*>(mem_malloc(n + 16));
    g_memory.size = n;
    if (g_memory.in && g_memory.out && g_memory.spare) return true;
    rewrite_release_thread();
    return false;
}

uint64_t min64(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}
uint64_t max64(uint64_t a, uint64_t b) {
    return a > b ? a : b;
}

struct Stream {
    FileHandle h;
    const RewriteJob* job;
    Journal journal;
    bool journaled;
    bool windows;
    bool backward;
    uint64_t old_length;
    uint64_t new_length;
    uint64_t start;
    // Where the rewrite stands: see the journal's progress fields. `mark`
    // is `saved` as it is in memory, ahead of the journal between a save
    // and the progress that records it.
    uint64_t read;
    uint64_t write;
    uint64_t mark;
    uint64_t end; // see the journal's field
    PassCounts* counts;
    PassCounts counts_at_read; // *counts as they were at `read`
};

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

// Keeps the original [lo, hi) in the journal, taking what lies in
// [at, at + n) from `window` and the rest from the file.
ErrorCode keep(Stream* s, uint64_t lo, uint64_t hi, const unsigned char* window, uint64_t at,
               uint64_t n) {
    while (lo < hi) {
        uint64_t m;
        const unsigned char* bytes;
        if (lo >= at && lo < at + n) {
            m = min64(hi, at + n) - lo;
            bytes = window + (lo - at);
        } else {
            uint64_t edge = lo < at ? at : ~0ull;
            m = min64(min64(hi, edge) - lo, g_memory.size);
            if (ErrorCode e = read_original(s, lo, g_memory.spare, m)) return e;
            bytes = g_memory.spare;
        }
        if (ErrorCode e = journal_save(&s->journal, lo, bytes, m)) return e;
        lo += m;
    }
    return 0;
}

// Records where the rewrite stands; the write that follows may then overwrite
// what the record says is kept or converted.
ErrorCode commit(Stream* s) {
    JournalHead& head = s->journal.head;
    head.read = s->read;
    head.write = s->write;
    head.saved = s->mark;
    head.end = s->end;
    return journal_progress(&s->journal);
}

// Room on the volume for what the rewrite will allocate: the new text less
// what the file has allocated already (less than its length when sparse), or
// all of it where changed blocks are written to new space.
//
// The volume's figures are asked once per run and volume; what each rewrite
// may take is deducted from them, and they are asked anew only when they
// seem too small.
struct VolumeRoom {
    uint32_t id[3];
    uint64_t free_bytes;
    bool copy_on_write;
};
struct RoomCache {
    LightLock lock;
    VolumeRoom volumes[8];
    uint32_t count;
};
RoomCache g_room;

ErrorCode check_room(Stream* s, uint64_t text_end) {
    const uint32_t* id = s->job->entry ? s->job->entry->volume_id : nullptr;
    bool named = id && (id[0] | id[1] | id[2]) != 0;
    uint64_t allocated = s->job->allocated;
    if (allocated == ~0ull) {
        NtFileStandardInformation standard{};
        allocated = file_query_information(s->h, FileStandardInformation, &standard,
                                           sizeof standard, nullptr) == 0
                        ? static_cast<uint64_t>(standard.AllocationSize)
                        : s->old_length;
    }
    light_lock(&g_room.lock);
    VolumeRoom* room = nullptr;
    for (uint32_t i = 0; named && i < g_room.count && !room; ++i)
        if (memcmp(g_room.volumes[i].id, id, sizeof g_room.volumes[i].id) == 0)
            room = &g_room.volumes[i];
    VolumeRoom fresh{};
    ErrorCode e = 0;
    for (int ask = room ? 0 : 1; ask < 2; ++ask) {
        if (ask) {
            if (file_volume_room(s->h, &fresh.free_bytes, &fresh.copy_on_write) != 0) {
                e = 0; // cannot tell
                break;
            }
            if (!room && named && g_room.count < 8) room = &g_room.volumes[g_room.count++];
            if (room) {
                memcpy(fresh.id, id, sizeof fresh.id);
                *room = fresh;
            }
        }
        const VolumeRoom& r = room ? *room : fresh;
        uint64_t need = r.copy_on_write        ? text_end - s->start
                        : text_end > allocated ? text_end - allocated
                                               : 0;
        if (r.free_bytes >= need) {
            if (room) room->free_bytes -= need;
            e = 0;
            break;
        }
        e = ERROR_DISK_FULL;
    }
    light_unlock(&g_room.lock);
    return e;
}

ErrorCode open_journal(Stream* s, const unsigned char* initial, uint64_t n) {
    const RewriteJob* job = s->job;
    JournalHead head{};
    head.flags = (s->windows ? JOURNAL_WINDOWS : 0) | (s->backward ? JOURNAL_BACKWARD : 0) |
                 (job->keep_time ? JOURNAL_KEEP_TIME : 0);
    head.old_length = s->old_length;
    head.new_length = s->new_length;
    head.start = s->start;
    head.write_time = job->write_time;
    if (job->entry) {
        head.file_id[0] = job->entry->file_id[0];
        head.file_id[1] = job->entry->file_id[1];
    }
    head.read = s->read;
    head.write = s->write;
    head.saved = s->mark;
    head.end = s->end;
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
    if (ErrorCode e = commit(s)) return e;
    if (ErrorCode e = file_set_end(s->h, s->old_length - 1)) return e;
    *touched = true;
    if (ErrorCode e = file_set_end(s->h, s->old_length)) return e;
    if (ErrorCode e = handle_write_at(s->h, s->old_length - 1, &last, 1)) return e;
    head.probe = 0;
    return commit(s);
}

// Nothing is written yet: checks and the start of the journal, which holds
// the `n` original bytes at `initial` from s->start on (s->mark is past them).
// *touched tells whether a failure left the file changed.
ErrorCode begin(Stream* s, bool* touched, const unsigned char* initial, uint64_t n) {
    *touched = false;
    uint64_t text_end = s->backward ? s->new_length : s->old_length;
    if (ErrorCode e = check_room(s, text_end)) return e;
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

// Forward, from s->read to the end: each window's new text goes behind what
// was read. Until the first change nothing is written, nor any journal made.
// *early is set when the rewrite ends before anything was written.
ErrorCode forward(Stream* s, RewriteOutcome* early) {
    unsigned char* in = g_memory.in;
    unsigned char* out = g_memory.out;
    const uint64_t size = g_memory.size;
    while (s->read < s->old_length) {
        uint64_t at = s->read;
        uint64_t n = min64(size, s->old_length - at);
        if (ErrorCode e = read_original(s, at, in, n)) {
            if (!s->journaled) *early = REWRITE_UNREAD;
            return e;
        }
        if (!s->journaled && at == 0 && s->job->probe_binary && looks_binary(in, n)) {
            *early = REWRITE_BINARY;
            return 0;
        }
        uint64_t c = at + n == s->old_length ? n : window_boundary_before(in, n, n - 2);
        if (!s->journaled && !s->windows) {
            // LF text needs no change where it holds no CR nor a mark's first
            // byte: counted at memory speed, passed over.
            uint64_t lf = 0;
            if (count_to_cr_or_ef(in, in + c, &lf) == in + c) {
                s->counts->lf += lf;
                s->read += c;
                s->write += c;
                continue;
            }
        }
        s->counts_at_read = *s->counts;
        uint64_t length = window_convert(in, c, out, s->windows, s->counts);
        uint64_t skip = 0;
        if (!s->journaled) {
            if (!window_changes(s->counts_at_read, *s->counts, s->windows)) {
                s->read += c;
                s->write += c;
                continue;
            }
            skip = window_boundary_before(in, n, first_difference(in, out, min64(c, length)));
            s->start = s->read = s->write = at + skip;
            // The bytes the first write covers go with the journal's head,
            // as far as the window holds them.
            uint64_t first = min64(s->write + (length - skip), at + n) - s->start;
            s->mark = s->start + first;
            if (at + c == s->old_length) s->end = s->write + (length - skip);
            bool touched = false;
            if (ErrorCode e = begin(s, &touched, in + skip, first)) {
                if (!touched) *early = REWRITE_UNTOUCHED;
                return e;
            }
        }
        // Taken from the window's first change on: the bytes before it are
        // the same in both texts.
        uint64_t end = s->write + (length - skip);
        uint64_t lo = max64(s->read, s->mark);
        if (end > lo) {
            if (ErrorCode e = keep(s, lo, end, in, at, n)) return e;
            s->mark = end;
        }
        // The last window's write leaves only the cut: the length it cuts to
        // tells a later run that finds the file cut that it is done.
        if (at + c == s->old_length) s->end = end;
        if (ErrorCode e = commit(s)) return e;
        if (ErrorCode e = handle_write_at(s->h, s->write, out + skip, length - skip)) return e;
        s->read += c - skip;
        s->write += length - skip;
    }
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
        uint64_t c = a == s->start ? 0 : window_boundary_after(in, n, a - from);
        uint64_t length = window_convert(in + c, n - c, out, s->windows, &scratch);
        uint64_t to = s->write - length;
        uint64_t lo = max64(s->start, to), hi = min64(r, s->mark);
        if (hi > lo) {
            if (ErrorCode e = keep(s, lo, hi, in, from, n)) return e;
            s->mark = lo;
        }
        if (ErrorCode e = commit(s)) return e;
        if (ErrorCode e = handle_write_at(s->h, to, out, length)) return e;
        s->write = to;
        s->read = from + c;
    }
    return commit(s); // done: a journal left now has nothing to do
}

// What another program appended while a shrinking rewrite ran lies behind the
// old length: it moves behind the new text before the cut, once the journal
// says that the old text is all converted.
ErrorCode cut_forward(Stream* s) {
    uint64_t now = 0;
    int64_t time = 0;
    if (ErrorCode e = file_query_size_time(s->h, &now, &time)) return e;
    uint64_t end = s->write;
    if (now > s->old_length) {
        s->read = s->old_length;
        s->end = 0;
        if (ErrorCode e = commit(s)) return e;
    }
    if (now > s->old_length && s->write < s->old_length) {
        for (uint64_t p = s->old_length; p < now;) {
            uint64_t m = min64(g_memory.size, now - p);
            if (ErrorCode e = handle_read_at(s->h, p, g_memory.spare, m)) return e;
            if (ErrorCode e = handle_write_at(s->h, end, g_memory.spare, m)) return e;
            p += m;
            end += m;
        }
    } else if (now > s->old_length) {
        end = now;
    }
    return end != now ? file_set_end(s->h, end) : 0;
}

// Goes on from where the journal stands (or the rewrite began) to the end.
ErrorCode run(Stream* s, RewriteOutcome* early) {
    if (s->backward) return backward(s);
    if (ErrorCode e = forward(s, early)) return e;
    if (!s->journaled) return 0;
    return cut_forward(s);
}

// Takes the state the journal records, for a second try or another run.
void rewind_to_journal(Stream* s) {
    const JournalHead& head = s->journal.head;
    s->read = head.read;
    s->write = head.write;
    s->mark = head.saved;
    s->end = head.end;
    *s->counts = s->counts_at_read;
}

// A journal whose file may have been left with its last byte cut off.
ErrorCode undo_probe(Stream* s) {
    JournalHead& head = s->journal.head;
    if (!(head.probe & JOURNAL_PROBED)) return 0;
    unsigned char last = static_cast<unsigned char>(head.probe);
    if (ErrorCode e = file_set_end(s->h, s->old_length)) return e;
    if (ErrorCode e = handle_write_at(s->h, s->old_length - 1, &last, 1)) return e;
    head.probe = 0;
    return commit(s);
}

void finish(Stream* s) {
    if (s->journal.head.flags & JOURNAL_KEEP_TIME)
        file_set_write_time(s->h, s->journal.head.write_time);
    journal_remove(&s->journal);
    s->journaled = false;
}

// A forward rewrite whose file was cut already to the length its last
// window's write ends at.
bool cut_done(const JournalHead& head, uint64_t length) {
    return head.end != 0 && head.end != head.old_length && length == head.end;
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

void say_recovery(const char* head, const char* path, const char* middle, const char* journal,
                  const char* tail) {
    ShownPath shown_file{}, shown_journal{};
    const char* pieces[] = {head, shown_path(path, &shown_file), middle,
                            journal ? shown_path(journal, &shown_journal) : "", tail};
    print_pieces(true, pieces, 5);
    shown_release(&shown_file);
    shown_release(&shown_journal);
}

// Finishes the rewrite one journal records. False when it could not be.
bool recover_one(const char* name, bool list_only) {
    Journal j{};
    char* file = nullptr;
    if (ErrorCode e = journal_open(&j, name, &file)) {
        // Never written whole, or the journal of a run still going.
        if (e == ERROR_NO_DATA || e == ERROR_SHARING_VIOLATION) return true;
        say_recovery("ERROR: Cannot read the journal \"", name, "\"", nullptr, ".\n");
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
    uint64_t length = 0;
    int64_t time = 0;
    bool backward = head.flags & JOURNAL_BACKWARD;
    bool gone = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ||
                (e == 0 && !file_is_entry(h, &listed));
    if (e == 0 && !gone) {
        e = file_query_size_time(h, &length, &time);
        bool fits = backward ? length == head.new_length || length == head.old_length
                             : length == head.old_length || head.read == head.old_length ||
                                   cut_done(head, length) ||
                                   ((head.probe & JOURNAL_PROBED) && length + 1 == head.old_length);
        if (e == 0 && !fits) e = ERROR_INVALID_DATA;
    }
    bool ok = false;
    if (gone) {
        // Another file stands there now, or none: nothing is left to finish.
        ok = journal_remove(&j) == 0;
        say_recovery("The interrupted rewrite of \"", file, "\" is dropped: the file is gone.\n",
                     nullptr, "");
    } else {
        PassCounts counts{};
        RewriteJob job{};
        job.allocated = ~0ull;
        job.handle = h;
        job.path = file;
        Stream s{};
        s.h = h;
        s.job = &job;
        s.journal = j;
        s.journaled = true;
        s.windows = head.flags & JOURNAL_WINDOWS;
        s.backward = backward;
        s.old_length = head.old_length;
        s.new_length = head.new_length;
        s.start = head.start;
        s.counts = &counts;
        rewind_to_journal(&s);
        if (e == 0 && !have_window()) e = ERROR_OUTOFMEMORY;
        if (e == 0 && backward && length != head.new_length) e = file_set_end(h, head.new_length);
        // Cut to the end the last window's write left: only the journal is left to go.
        bool done = !backward && cut_done(head, length);
        if (e == 0 && !done) e = undo_probe(&s);
        RewriteOutcome early = REWRITE_DONE;
        if (e == 0 && !done) e = run(&s, &early);
        if (e == 0) {
            finish(&s);
            say_recovery("Finished the interrupted rewrite of \"", file, "\".\n", nullptr, "");
            ok = true;
        } else {
            say_recovery("ERROR: Could not finish the interrupted rewrite of \"", file,
                         "\"; its journal \"", s.journal.name, "\" is kept.\n");
            journal_close(&s.journal);
        }
    }
    file_close(h);
    mem_free(file);
    return ok;
}

} // namespace

bool rewrite_recover(bool list_only) {
    ErrorCode e = 0;
    char* folder = journal_folder(false, &e);
    if (!folder) return true; // no state folder: nothing was left in it
    FolderLevel* level = nullptr;
    bool ok = true;
    if (level_open(&level, nullptr, folder, 0) == 0) {
        const char* path = nullptr;
        uint64_t name_offset = 0;
        FileEntry* entry = nullptr;
        while (level_next(level, &path, &name_offset, &entry) == 0) {
            if ((entry && entry->is_directory) || !is_journal_name(path + name_offset)) continue;
            ok = recover_one(path, list_only) && ok;
        }
        level_release(level);
    }
    mem_free(folder);
    return ok;
}

#ifdef EOLSET_TEST_HOOKS
void rewrite_set_window(uint64_t size, bool probe_cut) {
    g_window_size = size ? size : kDefaultWindow;
    g_probe_cut = probe_cut;
}
#endif

void rewrite_release_thread() {
    mem_free(g_memory.in);
    mem_free(g_memory.out);
    mem_free(g_memory.spare);
    g_memory = WindowMemory{};
}

void rewrite_release_window() {
    rewrite_release_thread();
    journal_forget_folder();
    light_lock(&g_room.lock);
    g_room.count = 0;
    light_unlock(&g_room.lock);
}

RewriteOutcome rewrite_file(const RewriteJob* job, PassCounts* counts, ErrorCode* error) {
    *error = 0;
    if (!have_window()) {
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
    ErrorCode e = run(&s, &early);
    if (e != 0 && s.journaled) {
        // One more try from where the journal stands: a step that failed once
        // may not fail again.
        rewind_to_journal(&s);
        e = undo_probe(&s);
        if (e == 0) e = run(&s, &early);
    }
    *error = e;
    if (!s.journaled) return e != 0 ? early : (early == REWRITE_DONE ? REWRITE_UNCHANGED : early);
    if (e != 0) {
        say_pending(job->path, s.journal.name);
        journal_close(&s.journal);
        return REWRITE_PENDING;
    }
    journal_remove(&s.journal);
    return REWRITE_DONE;
}
