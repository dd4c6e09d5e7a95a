// An intrusive ordered index: a treap whose records the caller allocates and
// owns. A record's heap priority is a hash of its address, so the tree needs
// neither random numbers nor balance fields, and a position keeps the whole
// path from the root on a stack, so records need no parent links.
#pragma once

#include <cstdint>

// The two links every record starts with; the caller's data follows them.
struct JiRecord {
    JiRecord* less;    // subtree of records sorting before this one
    JiRecord* greater; // subtree of records sorting after it
};

// Path entries a position holds in place. A random treap of a million
// records is about 60 deep, and nothing bounds a treap's height: deeper
// paths go on in `deeper`.
constexpr uint64_t JI_INLINE_DEPTH = 58;

// A place in an index: entry depth - 1 is the current record, entry 0 the
// root, each entry a child of the one before. Depth 0 is on no record.
// Entries from JI_INLINE_DEPTH on live in `deeper`, taken from the heap when
// a path first needs them and kept until ji_pos_release. Start a position
// zeroed (or with ji_pos_init); do not copy one that has `deeper`.
struct ji_pos_t {
    JiRecord** root;
    uint64_t depth;
    JiRecord* links[JI_INLINE_DEPTH];
    JiRecord** deeper;
    uint64_t deeper_capacity;
};
static_assert(sizeof(ji_pos_t) == 8 * (4 + JI_INLINE_DEPTH));

inline void ji_pos_init(ji_pos_t* pos, JiRecord** root) {
    *pos = ji_pos_t{};
    pos->root = root;
}
// Frees the position's deeper entries; it may be used again afterwards.
void ji_pos_release(ji_pos_t* pos);

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
