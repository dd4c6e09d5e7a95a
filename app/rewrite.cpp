#include "app/rewrite.h"

#include "app/report.h"

#include "base/alloc.h"
#include "base/fileinfo.h"
#include "base/fileopen.h"
#include "base/format.h"
#include "base/output.h"
#include "base/path.h"
#include "base/transfer.h"
#include "base/utf.h"
#include "platform/nt.h"

namespace {

constexpr uint64_t kNone = ~0ull;

struct Rewrite {
    const RewriteJob* job;
    FileHandle h;
    uint64_t old_length;
    uint64_t new_length;
    // The lowest offset that may no longer hold its original byte; kNone
    // while nothing was written.
    uint64_t dirty_from;
    bool length_changed;
    // Bytes another program appended while we wrote, when they had to be
    // moved: held here so that a restore can put them back behind the original.
    unsigned char* tail;
    uint64_t tail_length;
};

void mark_dirty(Rewrite* r, uint64_t from) {
    if (from < r->dirty_from) r->dirty_from = from;
}

bool write_all(FileHandle h, const unsigned char* bytes, uint64_t n) {
    uint64_t moved = 0;
    handle_write(h, bytes, n, &moved);
    return moved == n;
}

bool current_length(FileHandle h, uint64_t* length) {
    int64_t time;
    return file_query_size_time(h, length, &time) == 0;
}

// Writes the original bytes from `from` on, at the current position.
struct OriginalWriter {
    FileHandle h;
    uint64_t skip; // original bytes still to pass over before writing
};

bool write_original_piece(void* context, const unsigned char* bytes, uint64_t n) {
    OriginalWriter* w = static_cast<OriginalWriter*>(context);
    if (w->skip >= n) {
        w->skip -= n;
        return true;
    }
    bytes += w->skip;
    n -= w->skip;
    w->skip = 0;
    return write_all(w->h, bytes, n);
}

bool write_original(FileHandle h, const ConvertedText* text, uint64_t from) {
    OriginalWriter w{h, from - text->start};
    return converted_original(text, write_original_piece, &w);
}

// Reads [from, from + n) of the file into fresh memory; null on any failure.
unsigned char* read_range(FileHandle h, uint64_t from, uint64_t n) {
    unsigned char* bytes = static_cast<unsigned char*>(mem_malloc(n ? n : 1));
    uint64_t got = 0;
    if (!bytes || file_set_position(h, from) != 0 || handle_read(h, bytes, n, &got) != 0 ||
        got != n) {
        mem_free(bytes);
        return nullptr;
    }
    return bytes;
}

// Puts the original bytes back where they may have been overwritten and
// gives the file its old length (with anything appended meanwhile behind it).
bool restore(Rewrite* r) {
    const ConvertedText* text = r->job->text;
    FileHandle h = r->h;
    uint64_t now = 0;
    bool known = current_length(h, &now);
    // Appended behind a grown file: keep them, behind the original.
    if (!r->tail && known && r->new_length > r->old_length && now > r->new_length) {
        r->tail_length = now - r->new_length;
        r->tail = read_range(h, r->new_length, r->tail_length);
        if (!r->tail) return false;
        mark_dirty(r, r->old_length);
    }
    bool ok = true;
    if (r->dirty_from < r->old_length) {
        ok = file_set_position(h, r->dirty_from) == 0 && write_original(h, text, r->dirty_from);
    }
    if (ok && r->tail) {
        ok = file_set_position(h, r->old_length) == 0 && write_all(h, r->tail, r->tail_length);
    }
    uint64_t end = r->old_length + (r->tail ? r->tail_length : 0);
    // A shrinking rewrite never cut the file, so what was appended to it lies
    // behind the original already: keep the length as it is then.
    if (ok && !r->tail && known && now > end && r->new_length <= r->old_length) end = now;
    if (ok && (r->length_changed || r->tail || !known || now != end))
        ok = file_set_end(h, end) == 0;
    file_set_write_time(h, r->job->write_time);
    return ok;
}

// --- the rescue copy ---------------------------------------------------------------

struct CopyWriter {
    FileHandle out;
};

bool copy_piece(void* context, const unsigned char* bytes, uint64_t n) {
    return write_all(static_cast<CopyWriter*>(context)->out, bytes, n);
}

// Writes the whole original into `out`: the bytes before the text, which
// were never written, from the file itself, then the rest from the text.
bool write_rescue(const Rewrite* r, FileHandle out) {
    const ConvertedText* text = r->job->text;
    FileHandle h = r->h;
    unsigned char buf[16384];
    if (file_set_position(h, 0) != 0) return false;
    for (uint64_t done = 0; done < text->start;) {
        uint64_t want = text->start - done < sizeof buf ? text->start - done : sizeof buf;
        uint64_t got = 0;
        if (handle_read(h, buf, want, &got) != 0 || got != want) return false;
        if (!write_all(out, buf, got)) return false;
        done += got;
    }
    CopyWriter w{out};
    if (!converted_original(text, copy_piece, &w)) return false;
    return !r->tail || write_all(out, r->tail, r->tail_length);
}

// Creates a file that did not exist, open for writing.
ErrorCode create_new(const char* path, FileHandle* out) {
    return file_open_native(path, FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE, 0,
                            FILE_ATTRIBUTE_NORMAL, FILE_CREATE,
                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, out, nullptr);
}

constexpr ErrorCode kFileExists = 80;
constexpr ErrorCode kAlreadyExists = 183;

const char* leaf_of(const char* path) {
    const char* leaf = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') leaf = p + 1;
    return leaf;
}

// The temporary folder in UTF-8 with its closing separator, or null.
char* temp_folder(ArenaAllocator* arena) {
    char16_t wide[MAX_PATH + 2];
    DWORD n = GetTempPathW(MAX_PATH + 1, reinterpret_cast<LPWSTR>(wide));
    if (n == 0 || n > MAX_PATH) return nullptr;
    wide[n] = 0;
    return utf16_to_utf8_alloc(arena_base(arena), wide, TEXT_NUL);
}

// Saves the original beside the file, else in the temporary folder, under a
// name no file has yet. Returns the copy's path (from the arena) or null.
const char* rescue(const Rewrite* r, ArenaAllocator* arena) {
    const char* path = r->job->path;
    const char* temp = temp_folder(arena);
    for (int place = 0; place < 2; ++place) {
        for (int serial = 0; serial < 100; ++serial) {
            const char* name = place == 0
                                   ? format_new(arena_base(arena), "%s.eolset-original", path)
                                   : (temp ? format_new(arena_base(arena), "%s%s.eolset-original",
                                                        temp, leaf_of(path))
                                           : nullptr);
            if (name && serial) name = format_new(arena_base(arena), "%s-%d", name, serial);
            if (!name) break;
            FileHandle out = INVALID_FILE_HANDLE;
            ErrorCode e = create_new(name, &out);
            if (e == kFileExists || e == kAlreadyExists) continue; // the next name
            if (e != 0) break;                                     // the next place
            bool ok = write_rescue(r, out);
            file_close(out);
            if (ok) return name;
            break; // a full or failing volume: try the next place
        }
    }
    return nullptr;
}

RewriteOutcome undo(Rewrite* r) {
    if (r->dirty_from == kNone && !r->length_changed) return REWRITE_UNTOUCHED;
    if (restore(r)) return REWRITE_RESTORED;
    ArenaAllocator arena;
    arena_init(&arena);
    const char* copy = rescue(r, &arena);
    RewriteOutcome outcome = copy ? REWRITE_RESCUED : REWRITE_LOST;
    ShownPath shown_file{}, shown_copy{};
    const char* file = shown_path(r->job->path, &shown_file);
    if (copy) {
        const char* pieces[] = {"ERROR: Could not restore \"", file,
                                "\" after a failed rewrite; its original bytes are in \"",
                                shown_path(copy, &shown_copy), "\".\n"};
        print_pieces(true, pieces, 5);
    } else {
        const char* pieces[] = {"ERROR: Could not restore \"", file,
                                "\" after a failed rewrite, nor save its original bytes.\n"};
        print_pieces(true, pieces, 3);
    }
    shown_release(&shown_file);
    shown_release(&shown_copy);
    arena_release(&arena);
    return outcome;
}

// Room on the volume for what the rewrite takes: the growth, or on a file
// system that writes changed blocks anew, the whole new text.
bool room_for(const Rewrite* r) {
    uint64_t free_bytes = 0;
    bool copy_on_write = false;
    if (file_volume_room(r->h, &free_bytes, &copy_on_write) != 0) return true; // cannot tell
    uint64_t need = copy_on_write                   ? r->new_length - r->job->text->start
                    : r->new_length > r->old_length ? r->new_length - r->old_length
                                                    : 0;
    return free_bytes >= need;
}

// What another program appended to a shrinking file while we wrote lies
// behind the old length: move it behind the new text before the cut.
bool keep_appended(Rewrite* r, uint64_t* end) {
    uint64_t now = 0;
    if (!current_length(r->h, &now)) return false;
    *end = r->new_length;
    if (now <= r->old_length) return true;
    r->tail_length = now - r->old_length;
    r->tail = read_range(r->h, r->old_length, r->tail_length);
    if (!r->tail) return false;
    mark_dirty(r, r->new_length);
    if (file_set_position(r->h, r->new_length) != 0 || !write_all(r->h, r->tail, r->tail_length))
        return false;
    *end = r->new_length + r->tail_length;
    return true;
}

RewriteOutcome run(Rewrite* r) {
    const ConvertedText* text = r->job->text;
    FileHandle h = r->h;
    // Another program changed the file since it was read: its text is not ours to judge.
    uint64_t size = 0;
    int64_t time = 0;
    if (file_query_size_time(h, &size, &time) != 0 || size != r->old_length ||
        time != r->job->write_time)
        return REWRITE_UNTOUCHED;
    if (!room_for(r)) return REWRITE_UNTOUCHED;
    if (r->new_length < r->old_length) {
        // Whether the file may be cut at all (Windows refuses while another
        // program has it mapped): take its last byte off and give it back.
        if (file_set_end(h, r->old_length - 1) != 0) return REWRITE_UNTOUCHED;
        r->length_changed = true;
        mark_dirty(r, r->old_length - 1);
        if (file_set_end(h, r->old_length) != 0) return undo(r);
    } else if (r->new_length > r->old_length) {
        // Extending reserves the room first, so a full disk shows before any
        // byte is overwritten.
        if (file_set_end(h, r->new_length) != 0) {
            uint64_t length = 0;
            if (current_length(h, &length) && length == r->old_length) return REWRITE_UNTOUCHED;
            r->length_changed = true;
            return undo(r);
        }
        r->length_changed = true;
    }
    if (file_set_position(h, text->start) != 0) return undo(r);
    uint64_t offset = text->start;
    for (const ChunkBlock* b = text->text.first; b; b = b->next) {
        mark_dirty(r, offset);
        if (!write_all(h, b->data, b->filled)) return undo(r);
        offset += b->filled;
    }
    if (r->new_length < r->old_length) {
        uint64_t end = 0;
        if (!keep_appended(r, &end) || file_set_end(h, end) != 0) return undo(r);
    }
    return REWRITE_DONE;
}

} // namespace

RewriteOutcome rewrite_in_place(const RewriteJob* job) {
    Rewrite r{};
    r.job = job;
    r.h = job->handle;
    r.old_length = job->length;
    r.new_length = converted_end(job->text);
    r.dirty_from = kNone;
    RewriteOutcome outcome = run(&r);
    mem_free(r.tail);
    return outcome;
}
