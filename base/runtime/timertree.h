// The alarm module's timer tree: a red-black tree ordered by due time whose
// nodes live inside the timers themselves, so queueing allocates nothing.
//
// A node keeps the colour of each child in a link byte beside the child
// pointer: 0 red, 1 black, 255 no child. The root has no incoming link and
// counts as black. A node is in a tree exactly when it is the root or has a
// parent; removal clears its parent and both children.
#pragma once

#include <cstddef>
#include <cstdint>

struct TimerNode {
    TimerNode* parent;
    TimerNode* left;
    TimerNode* right;
    uint8_t left_link;
    uint8_t right_link;
};

constexpr uint8_t LINK_RED = 0;
constexpr uint8_t LINK_BLACK = 1;
constexpr uint8_t LINK_NONE = 255;

struct Timer;
using TimerCallback = void (*)(Timer* timer);

// Embedded in its owner's record, which keeps it alive while it is queued or
// its callback runs.
struct Timer {
    TimerCallback callback;
    TimerNode node;
    uint64_t due; // a tick_now() value
};

inline Timer* timer_of(TimerNode* node) {
    return reinterpret_cast<Timer*>(reinterpret_cast<char*>(node) - offsetof(Timer, node));
}

// A fresh node: no parent, no children.
void timer_node_clear(TimerNode* node);
// True while the node is linked into the tree under `root`.
inline bool timer_node_queued(TimerNode* const* root, const TimerNode* node) {
    return node->parent || *root == node;
}

// Traversal by parent links, without a stack.
TimerNode* timer_tree_first(TimerNode* root);
TimerNode* timer_tree_next(TimerNode* node);
TimerNode* timer_tree_prev(TimerNode* node);

// The node after which a timer due at `due` goes: after every node due at
// the same time or earlier. Null when it is to become the first.
TimerNode* timer_tree_find_pred(TimerNode* root, uint64_t due);
// Links a cleared node right after `pred` in order (null: as the first) and
// rebalances.
void timer_tree_insert_after(TimerNode** root, TimerNode* pred, TimerNode* node);
// Unlinks a queued node; a node with two children gives its place to its
// in-order predecessor. The node comes back cleared.
void timer_tree_remove(TimerNode** root, TimerNode* node);
