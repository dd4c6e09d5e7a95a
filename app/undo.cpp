#include "app/undo.h"

namespace {

// Reads the bytes of a chunk buffer in order.
struct ChunkCursor {
    const ChunkBlock* block;
    uint64_t index;
};

bool cursor_next(ChunkCursor* k, unsigned char* out) {
    while (k->block && k->index >= k->block->filled) {
        k->block = k->block->next;
        k->index = 0;
    }
    if (!k->block) return false;
    *out = k->block->data[k->index++];
    return true;
}

// The next mark's text offset, or all-ones when no mark is left.
uint64_t next_mark(ChunkCursor* k, uint64_t previous) {
    uint64_t delta = 0;
    unsigned shift = 0;
    unsigned char b;
    for (;;) {
        if (!cursor_next(k, &b)) return ~0ull;
        delta |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return previous + delta;
        shift += 7;
    }
}

// Gathers output into a stack buffer and hands it on in large pieces.
struct Spout {
    ByteSink sink;
    void* context;
    uint64_t used;
    bool ok;
    unsigned char buffer[16384];
};

void spout_flush(Spout* s) {
    if (s->ok && s->used) s->ok = s->sink(s->context, s->buffer, s->used);
    s->used = 0;
}

void spout_put(Spout* s, const unsigned char* bytes, uint64_t n) {
    if (s->used + n > sizeof s->buffer) spout_flush(s);
    for (uint64_t i = 0; i < n; ++i) s->buffer[s->used++] = bytes[i];
}

const unsigned char kMark[3] = {0xEF, 0xBB, 0xBF};
const unsigned char kForms[4][3] = {{0x0A}, {0x0D, 0x0A}, {0x0D, 0x0D, 0x0A}, {0x0D}};
const uint64_t kFormLength[4] = {1, 2, 3, 1};

} // namespace

void converted_create(ConvertedText* c, uint64_t start, bool windows, uint64_t* budget) {
    chunks_create(&c->text, budget);
    chunks_create(&c->ends, budget);
    chunks_create(&c->marks, budget);
    c->start = start;
    c->last_mark = 0;
    c->windows = windows;
    c->pending = 0;
    c->pending_count = 0;
}

void converted_release(ConvertedText* c) {
    chunks_release(&c->marks);
    chunks_release(&c->ends);
    chunks_release(&c->text);
}

void converted_mark(ConvertedText* c) {
    uint64_t at = chunks_length(&c->text);
    uint64_t delta = at - c->last_mark;
    c->last_mark = at;
    while (delta >= 0x80) {
        chunks_put(&c->marks, static_cast<unsigned char>(delta | 0x80));
        delta >>= 7;
    }
    chunks_put(&c->marks, static_cast<unsigned char>(delta));
}

void converted_finish(ConvertedText* c) {
    if (c->pending_count) chunks_put(&c->ends, c->pending);
    c->pending = 0;
    c->pending_count = 0;
}

bool converted_original(const ConvertedText* c, ByteSink sink, void* context) {
    Spout out;
    out.sink = sink;
    out.context = context;
    out.used = 0;
    out.ok = true;
    ChunkCursor marks{c->marks.first, 0};
    ChunkCursor ends{c->ends.first, 0};
    unsigned char forms = 0;
    unsigned forms_left = 0;
    uint64_t mark = next_mark(&marks, 0);
    uint64_t offset = 0;
    const unsigned char line_end = c->windows ? 0x0D : 0x0A;
    bool skip_lf = false; // the LF of a CR LF line end in the text
    for (const ChunkBlock* b = c->text.first; b && out.ok; b = b->next) {
        for (uint64_t i = 0; i < b->filled; ++i, ++offset) {
            while (offset == mark) {
                spout_put(&out, kMark, 3);
                mark = next_mark(&marks, mark);
            }
            unsigned char byte = b->data[i];
            if (skip_lf) {
                skip_lf = false;
                continue;
            }
            if (byte != line_end) {
                if (out.used == sizeof out.buffer) spout_flush(&out);
                out.buffer[out.used++] = byte;
                continue;
            }
            if (forms_left == 0) {
                if (!cursor_next(&ends, &forms)) forms = 0;
                forms_left = 4;
            }
            unsigned form = forms & 3;
            forms = static_cast<unsigned char>(forms >> 2);
            --forms_left;
            spout_put(&out, kForms[form], kFormLength[form]);
            skip_lf = c->windows;
        }
    }
    while (out.ok && offset == mark) {
        spout_put(&out, kMark, 3);
        mark = next_mark(&marks, mark);
    }
    spout_flush(&out);
    return out.ok;
}
