#include "app/report.h"

#include "base/alloc.h"
#include "base/format.h"
#include "base/output.h"
#include "base/test_control.h"
#include "base/transfer.h"
#include "base/utf.h"
#include "platform/nt.h"

#include <cstring>

namespace {

thread_local OutputBatch* t_batch;

bool output_append(OutputBatch* out, const void* bytes, uint64_t n) {
    if (out->length + n > out->capacity) {
        uint64_t capacity = out->capacity ? out->capacity : 256;
        while (capacity < out->length + n) capacity *= 2;
        unsigned char* data = static_cast<unsigned char*>(mem_malloc(capacity));
        if (!data) return false;
        if (out->length) memcpy(data, out->data, out->length);
        mem_free(out->data);
        out->data = data;
        out->capacity = capacity;
    }
    memcpy(out->data + out->length, bytes, n);
    out->length += n;
    return true;
}

void write_stream(bool error, const void* bytes, uint64_t n) {
    HANDLE h = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    handle_write(static_cast<FileHandle>(reinterpret_cast<uintptr_t>(h)), bytes, n, nullptr);
}

const char* g_root_typed;
const char* g_root_full;
uint64_t g_root_length; // of g_root_full, without a closing backslash

} // namespace

void shown_set_root(const char* typed, const char* full) {
    g_root_typed = full ? typed : nullptr;
    g_root_full = typed ? full : nullptr;
    g_root_length = g_root_full ? str_len(g_root_full) : 0;
    if (g_root_length > 0 && g_root_full[g_root_length - 1] == '\\') --g_root_length;
}

void shown_release(ShownPath* shown) {
    mem_free(shown->owned);
    shown->owned = nullptr;
}

#ifdef _WIN32
const char* shown_path(const char* path, ShownPath* shown) {
    shown->owned = nullptr;
    return path;
}

const char* shown_typed(const char* text, ShownPath* shown) {
    shown->owned = nullptr;
    return text;
}
#else
namespace {

// `head` and then `rest` with its separators as '/' (`slashes`), one between
// two names, and the private code points that stand for bytes a Windows name
// cannot hold as those bytes.
const char* shown_bytes(const char* head, const char* rest, bool slashes, ShownPath* shown,
                        const char* fallback) {
    uint64_t head_length = str_len(head);
    uint64_t rest_length = str_len(rest);
    char* out = static_cast<char*>(mem_malloc(head_length + rest_length + 1));
    if (!out) return fallback;
    uint64_t n = 0;
    for (int part = 0; part < 2; ++part) {
        const char* text = part == 0 ? head : rest;
        uint64_t length = part == 0 ? head_length : rest_length;
        for (uint64_t i = 0; i < length;) {
            uint64_t next = i + 1;
            uint32_t cp = utf8_next(text, length, i, &next);
            if (cp == '\\' && slashes && part == 1) {
                if (n == 0 || (out[n - 1] != '/' && out[n - 1] != '\\')) out[n++] = '/';
            } else if (cp >= 0xF000 && cp < 0xF200) {
                out[n++] = static_cast<char>(cp & 0xFF);
            } else {
                memcpy(out + n, text + i, next - i);
                n += next - i;
            }
            i = next;
        }
    }
    out[n] = 0;
    shown->owned = out;
    return out;
}

} // namespace

const char* shown_path(const char* path, ShownPath* shown) {
    shown->owned = nullptr;
    if (!path) return path;
    if (g_root_full && strncmp(path, g_root_full, g_root_length) == 0 &&
        (path[g_root_length] == 0 || path[g_root_length] == '\\'))
        return shown_bytes(g_root_typed, path + g_root_length, true, shown, path);
    if ((path[0] == 'Z' || path[0] == 'z') && path[1] == ':' && (path[2] == 0 || path[2] == '\\'))
        return shown_bytes(path[2] ? "" : "/", path + 2, true, shown, path); // Z: is the root
    return shown_bytes("", path, false, shown, path);
}

const char* shown_typed(const char* text, ShownPath* shown) {
    shown->owned = nullptr;
    return text ? shown_bytes("", text, false, shown, text) : text;
}
#endif

void print_pieces(bool error, const char* const* pieces, uint64_t count) {
    print_bytes(error, pieces, nullptr, count);
}

void print_bytes(bool error, const char* const* pieces, const uint64_t* given, uint64_t count) {
    test_check_may_print();
    auto length = [=](uint64_t i) { return given ? given[i] : str_len(pieces[i]); };
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) total += length(i);
    if (OutputBatch* batch = t_batch) {
        constexpr uint64_t kFlushAt = 1u << 16;
        if (batch->length && (error != batch->error || batch->length + total > kFlushAt))
            output_batch_flush(batch);
        batch->error = error;
        uint64_t mark = batch->length;
        bool ok = true;
        for (uint64_t i = 0; ok && i < count; ++i) ok = output_append(batch, pieces[i], length(i));
        if (ok) return;
        // Without memory for the batch the line goes out on its own, after
        // what was held.
        batch->length = mark;
        output_batch_flush(batch);
    }
    char* line = static_cast<char*>(mem_malloc(total + 1));
    if (!line) return; // as a message whose memory ran out: skipped
    uint64_t n = 0;
    for (uint64_t i = 0; i < count; ++i) {
        memcpy(line + n, pieces[i], length(i));
        n += length(i);
    }
    write_stream(error, line, n);
    mem_free(line);
}

void output_batch(OutputBatch* batch) {
    t_batch = batch;
}

void output_batch_flush(OutputBatch* batch) {
    if (batch->length) write_stream(batch->error, batch->data, batch->length);
    batch->length = 0;
}

void output_batch_release(OutputBatch* batch) {
    mem_free(batch->data);
    *batch = OutputBatch{};
}

const char* error_reason(ErrorCode code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
        return "file not found";
    case ERROR_PATH_NOT_FOUND:
        return "path not found";
    case ERROR_ACCESS_DENIED:
        return "access denied";
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_MEMORY:
        return "out of memory";
    case ERROR_NOT_READY:
        return "device not ready";
    case ERROR_SHARING_VIOLATION:
        return "in use by another process";
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return "invalid name";
    case ERROR_FILENAME_EXCED_RANGE:
        return "name too long";
    case ERROR_DIRECTORY:
        return "not a folder";
    case ERR_FOLDER_LOOP:
        return "folder loop";
    case ERROR_INVALID_OWNER:
        return "the folder for rewrite journals is a link, not the user's own, or writable by "
               "others";
    default:
        return "system error";
    }
}

void report_unreadable_file(const char* path, ErrorCode code) {
    report_path_error("ERROR: Cannot read file \"", path, code);
}

namespace {

// `before`, the text as shown, and the reason and code (none when 0).
void report_shown_error(const char* before, const char* shown, ErrorCode code) {
    char tail[160];
    if (code != 0)
        format_to_buffer(tail, sizeof tail, "\": %s (error %d).\n", error_reason(code), code);
    else
        format_to_buffer(tail, sizeof tail, "\".\n");
    const char* pieces[] = {before, shown, tail};
    print_pieces(true, pieces, 3);
}

} // namespace

void report_path_error(const char* before, const char* path, ErrorCode code) {
    ShownPath shown;
    report_shown_error(before, shown_path(path, &shown), code);
    shown_release(&shown);
}

void report_typed_error(const char* before, const char* typed, ErrorCode code) {
    ShownPath shown;
    report_shown_error(before, shown_typed(typed, &shown), code);
    shown_release(&shown);
}
