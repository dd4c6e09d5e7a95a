// An intrusive ordered index: a treap whose records the caller allocates and
// owns. A record's heap priority is a hash of its address, so the tree needs
// neither random numbers nor balance fields, and a position keeps the whole
// path from the root on a fixed stack, so records need no parent links.
#pragma once

#include <cstdint>

// The two links every record starts with; the caller's data follows them.
struct JiRecord {
    JiRecord* less;    // subtree of records sorting before this one
    JiRecord* greater; // subtree of records sorting after it
};

constexpr uint64_t JI_MAX_DEPTH = 58;

// A place in an index: links[depth - 1] is the current record, links[0] the
// root, each entry a child of the one before. Depth 0 is on no record.
struct ji_pos_t {
    JiRecord** root;
    uint64_t depth;
    JiRecord* links[JI_MAX_DEPTH];
};
static_assert(sizeof(ji_pos_t) == 8 * (2 + JI_MAX_DEPTH));

// Compares the key held by the context with a record in the tree: negative
// when the key sorts before the record, 0 when equal, positive when after.
using JiCompare = int32_t (*)(void* context, const JiRecord* record);

// Thomas Wang's 64-to-32-bit hash of the record's address.
uint32_t ji_priority(const void* record);

JiRecord* ji_first(ji_pos_t* pos, JiRecord** root);
JiRecord* ji_next(ji_pos_t* pos);
JiRecord* ji_prev(ji_pos_t* pos);
JiRecord* ji_current(const ji_pos_t* pos);

// Walks down from the root recording the path. Returns 1 when it meets
// `record` itself, else 0 with the position on the smallest record sorting
// after the key (depth 0 when none does). Equal keys sort by address.
int ji_find(ji_pos_t* pos, JiRecord** root, JiCompare compare, void* context,
            const JiRecord* record);
// Links `record` at the place found by ji_find and returns its depth; the
// position is left on it.
uint64_t ji_insert(ji_pos_t* pos, JiRecord* record);
// ji_find then ji_insert on a position of its own. Returns the new record's
// depth, or 0 when the record is already in the index (it is not linked twice).
uint64_t ji_add(JiRecord** root, JiCompare compare, void* context, JiRecord* record);
