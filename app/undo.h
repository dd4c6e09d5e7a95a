// The converted text of a file together with what it takes to make the
// original bytes again: the original form of every line end (two bits each)
// and where each removed byte-order mark stood. A rewrite that fails part way
// writes the original back from this, without a second copy of the file.
#pragma once

#include "app/chunks.h"

#include <cstdint>

// The original form of a line end.
enum : unsigned { ORIGINAL_LF = 0, ORIGINAL_CRLF = 1, ORIGINAL_CRCRLF = 2, ORIGINAL_CR = 3 };

struct ConvertedText {
    ChunkBuffer text;  // the converted bytes from file offset `start` on
    ChunkBuffer ends;  // original forms of the line ends in `text`, four a byte, low bits first
    ChunkBuffer marks; // text offsets of removed marks, each as the distance from the one
                       // before, 7 bits a byte, low groups first
    uint64_t start;    // where the text begins in the file (the bytes before it stay)
    uint64_t last_mark;
    uint8_t windows;       // the text's line ends are CR LF (else LF)
    uint8_t pending;       // line-end forms not stored yet
    uint8_t pending_count; // 0 .. 3
};

// Every block taken counts against `budget` (null: no limit).
void converted_create(ConvertedText* c, uint64_t start, bool windows, uint64_t* budget);
void converted_release(ConvertedText* c);
// 0, or 14 when a block of any of the three buffers could not be had.
inline uint32_t converted_failure(const ConvertedText* c) {
    return c->text.failure | c->ends.failure | c->marks.failure;
}
inline uint64_t converted_end(const ConvertedText* c) {
    return c->start + chunks_length(&c->text);
}

// Notes the original form of the line end just added to the text.
inline void converted_line_end(ConvertedText* c, unsigned original) {
    c->pending = static_cast<uint8_t>(c->pending | original << (2 * c->pending_count));
    if (++c->pending_count == 4) {
        chunks_put(&c->ends, c->pending);
        c->pending = 0;
        c->pending_count = 0;
    }
}
// Notes a mark removed at the current end of the text.
void converted_mark(ConvertedText* c);
// Stores the line-end forms still pending; call once the text is complete.
void converted_finish(ConvertedText* c);

// Receives the original bytes in order, in pieces; false stops the production.
using ByteSink = bool (*)(void* context, const unsigned char* bytes, uint64_t count);
// Produces the original bytes from `start` to the end. False when the sink said stop.
bool converted_original(const ConvertedText* c, ByteSink sink, void* context);
