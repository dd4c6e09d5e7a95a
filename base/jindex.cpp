#include "base/jindex.h"

#include "base/alloc.h"
#include "base/output.h"

#include <cstring>

namespace {

constexpr const char* JI_SOURCE = "base\\jindex";
constexpr const char* JI_OUT_OF_MEMORY = "ji_pos_t link stack out of memory";

// Where a push could not grow the stack; the numbers are fixed so that
// reports stay comparable across builds.
constexpr int32_t LINE_FIRST_DESCEND = 235;
constexpr int32_t LINE_FIND_DESCEND = 298;
constexpr int32_t LINE_STEP_FROM_TOP = 455;
constexpr int32_t LINE_STEP_CHILD_DESCEND = 477;
constexpr int32_t LINE_STEP_CHILD = 483;
constexpr int32_t LINE_INSERT_PUSH = 578;

inline JiRecord*& slot(ji_pos_t* pos, uint64_t i) {
    return i < JI_INLINE_DEPTH ? pos->links[i] : pos->deeper[i - JI_INLINE_DEPTH];
}

// Room for entry i. A path this deep is rare and the records it leads
// through are in memory already: running out here ends the program.
void make_room(ji_pos_t* pos, uint64_t i, int32_t line) {
    uint64_t need = i + 1 - JI_INLINE_DEPTH;
    if (need <= pos->deeper_capacity) return;
    uint64_t capacity = pos->deeper_capacity ? pos->deeper_capacity * 2 : 64;
    JiRecord** grown = static_cast<JiRecord**>(mem_malloc(capacity * sizeof(JiRecord*)));
    if (grown == nullptr) {
        fatal_report(JI_SOURCE, line, JI_OUT_OF_MEMORY);
    }
    if (pos->deeper_capacity) memcpy(grown, pos->deeper, pos->deeper_capacity * sizeof(JiRecord*));
    mem_free(pos->deeper);
    pos->deeper = grown;
    pos->deeper_capacity = capacity;
}

inline void push(ji_pos_t* pos, JiRecord* r, int32_t line) {
    if (pos->depth >= JI_INLINE_DEPTH) make_room(pos, pos->depth, line);
    slot(pos, pos->depth++) = r;
}

inline JiRecord* child(const JiRecord* r, bool greater) {
    return greater ? r->greater : r->less;
}

// Pushes r and follows the `greater` (or less) links to the end; returns the
// record reached.
JiRecord* descend(ji_pos_t* pos, JiRecord* r, bool greater, int32_t line) {
    for (;;) {
        push(pos, r, line);
        JiRecord* c = child(r, greater);
        if (c == nullptr) {
            return r;
        }
        r = c;
    }
}

// One in-order step toward the `greater` side (ji_next) or the less side.
JiRecord* step(ji_pos_t* pos, bool greater) {
    if (pos->depth == 0) {
        JiRecord* top = pos->root != nullptr ? *pos->root : nullptr;
        if (top == nullptr) {
            return nullptr;
        }
        return descend(pos, top, !greater, LINE_STEP_FROM_TOP);
    }
    JiRecord* c = slot(pos, pos->depth - 1);
    JiRecord* next = child(c, greater);
    if (next != nullptr) {
        push(pos, next, LINE_STEP_CHILD);
        JiRecord* after = child(next, !greater);
        if (after == nullptr) {
            return next;
        }
        return descend(pos, after, !greater, LINE_STEP_CHILD_DESCEND);
    }
    // Climb until we leave a subtree on its opposite side.
    while (pos->depth > 1) {
        JiRecord* popped = slot(pos, --pos->depth);
        JiRecord* below = slot(pos, pos->depth - 1);
        if (child(below, !greater) == popped) {
            return below;
        }
    }
    pos->depth = 0;
    return nullptr;
}

} // namespace

uint32_t ji_priority(const void* record) {
    uint64_t k = reinterpret_cast<uintptr_t>(record);
    k = ~k + (k << 18);
    k = k ^ (k >> 31);
    k = k * 21;
    k = k ^ (k >> 11);
    k = k * 65;
    k = k ^ (k >> 22);
    return static_cast<uint32_t>(k);
}

JiRecord* ji_first(ji_pos_t* pos, JiRecord** root) {
    pos->root = root;
    pos->depth = 0;
    if (root == nullptr || *root == nullptr) {
        return nullptr;
    }
    return descend(pos, *root, false, LINE_FIRST_DESCEND);
}

JiRecord* ji_next(ji_pos_t* pos) {
    return step(pos, true);
}

JiRecord* ji_prev(ji_pos_t* pos) {
    return step(pos, false);
}

JiRecord* ji_current(const ji_pos_t* pos) {
    return pos->depth == 0 ? nullptr : slot(const_cast<ji_pos_t*>(pos), pos->depth - 1);
}

void ji_pos_release(ji_pos_t* pos) {
    mem_free(pos->deeper);
    pos->deeper = nullptr;
    pos->deeper_capacity = 0;
}

int ji_find(ji_pos_t* pos, JiRecord** root, JiCompare compare, void* context,
            const JiRecord* record) {
    pos->root = root;
    pos->depth = 0;
    // The stack takes the whole path walked; the position stays on the
    // last record we turned left at, the successor of the insertion point.
    uint64_t pushed = 0;
    uint64_t at = 0;
    JiRecord* r = *root;
    while (r != nullptr) {
        if (pushed >= JI_INLINE_DEPTH) make_room(pos, pushed, LINE_FIND_DESCEND);
        slot(pos, pushed++) = r;
        int32_t c = compare(context, r);
        if (c == 0) {
            if (r == record) {
                pos->depth = pushed;
                return 1;
            }
            // Equal keys sort by address, the lower first.
            c = reinterpret_cast<uintptr_t>(r) < reinterpret_cast<uintptr_t>(record) ? 1 : -1;
        }
        if (c < 0) {
            at = pushed;
            r = r->less;
        } else {
            r = r->greater;
        }
    }
    pos->depth = at;
    return 0;
}

uint64_t ji_insert(ji_pos_t* pos, JiRecord* n) {
    n->less = nullptr;
    n->greater = nullptr;
    JiRecord** root = pos->root;
    if (*root == nullptr) {
        *root = n;
        slot(pos, 0) = n;
        pos->depth = 1;
        return 1;
    }
    JiRecord* s = ji_current(pos);
    if (s != nullptr && s->less == nullptr) {
        s->less = n;
    } else {
        // The predecessor has no greater child: the largest record of s's
        // less subtree, or of the whole tree when nothing sorts after n.
        JiRecord* p = ji_prev(pos);
        p->greater = n;
    }
    push(pos, n, LINE_INSERT_PUSH);

    // Rotate n up while it beats its parent's priority; the stack holds its
    // ancestors, so no parent links are needed.
    uint64_t i = pos->depth - 1; // n's index on the stack
    const uint32_t prio = ji_priority(n);
    while (i > 0) {
        JiRecord* parent = slot(pos, i - 1);
        if (!(prio < ji_priority(parent))) {
            break;
        }
        JiRecord** link;
        if (i - 1 == 0) {
            link = root;
        } else {
            JiRecord* grand = slot(pos, i - 2);
            link = grand->less == parent ? &grand->less : &grand->greater;
        }
        if (parent->less == n) {
            parent->less = n->greater;
            n->greater = parent;
        } else {
            parent->greater = n->less;
            n->less = parent;
        }
        *link = n;
        slot(pos, i - 1) = n;
        --i;
    }
    pos->depth = i + 1;
    return pos->depth;
}

uint64_t ji_add(JiRecord** root, JiCompare compare, void* context, JiRecord* record) {
    ji_pos_t pos{};
    uint64_t depth = 0;
    if (ji_find(&pos, root, compare, context, record) == 0) {
        depth = ji_insert(&pos, record);
    }
    ji_pos_release(&pos);
    return depth;
}
