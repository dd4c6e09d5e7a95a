#include "base/runtime/timertree.h"

namespace {

// The colour of a node: the link byte of its parent on its side. A missing
// node and the root count as black.
uint8_t colour(const TimerNode* n) {
    if (!n) return LINK_BLACK;
    const TimerNode* p = n->parent;
    if (!p) return LINK_BLACK;
    return p->left == n ? p->left_link : p->right_link;
}

bool is_red(const TimerNode* n) {
    return colour(n) == LINK_RED;
}

// Colours a node through its parent's link; the root stays black.
void paint(TimerNode* n, uint8_t c) {
    if (!n || !n->parent) return;
    if (n->parent->left == n)
        n->parent->left_link = c;
    else
        n->parent->right_link = c;
}

void set_left(TimerNode* p, TimerNode* c, uint8_t c_colour) {
    p->left = c;
    p->left_link = c ? c_colour : LINK_NONE;
    if (c) c->parent = p;
}

void set_right(TimerNode* p, TimerNode* c, uint8_t c_colour) {
    p->right = c;
    p->right_link = c ? c_colour : LINK_NONE;
    if (c) c->parent = p;
}

// Puts `to` (which may be null) where `from` hangs, with colour `c`.
void replace(TimerNode** root, TimerNode* from, TimerNode* to, uint8_t c) {
    TimerNode* p = from->parent;
    if (!p) {
        *root = to;
        if (to) to->parent = nullptr;
    } else if (p->left == from) {
        set_left(p, to, c);
    } else {
        set_right(p, to, c);
    }
}

// Rotations keep every node's colour, also where the link carrying it moves.
void rotate_left(TimerNode** root, TimerNode* x) {
    TimerNode* y = x->right;
    uint8_t cx = colour(x), cy = colour(y);
    TimerNode* b = y->left;
    uint8_t cb = y->left_link;
    replace(root, x, y, cy);
    set_right(x, b, cb);
    set_left(y, x, cx);
}

void rotate_right(TimerNode** root, TimerNode* x) {
    TimerNode* y = x->left;
    uint8_t cx = colour(x), cy = colour(y);
    TimerNode* b = y->right;
    uint8_t cb = y->right_link;
    replace(root, x, y, cy);
    set_left(x, b, cb);
    set_right(y, x, cx);
}

TimerNode* leftmost(TimerNode* n) {
    while (n->left) n = n->left;
    return n;
}

TimerNode* rightmost(TimerNode* n) {
    while (n->right) n = n->right;
    return n;
}

void insert_fixup(TimerNode** root, TimerNode* z) {
    while (is_red(z) && is_red(z->parent)) {
        TimerNode* p = z->parent;
        TimerNode* g = p->parent; // a red node is never the root
        if (p == g->left) {
            TimerNode* u = g->right;
            if (is_red(u)) {
                paint(p, LINK_BLACK);
                paint(u, LINK_BLACK);
                paint(g, LINK_RED);
                z = g;
                continue;
            }
            if (z == p->right) {
                rotate_left(root, p);
                p = z;
            }
            rotate_right(root, g);
            paint(p, LINK_BLACK);
            paint(g, LINK_RED);
        } else {
            TimerNode* u = g->left;
            if (is_red(u)) {
                paint(p, LINK_BLACK);
                paint(u, LINK_BLACK);
                paint(g, LINK_RED);
                z = g;
                continue;
            }
            if (z == p->left) {
                rotate_right(root, p);
                p = z;
            }
            rotate_left(root, g);
            paint(p, LINK_BLACK);
            paint(g, LINK_RED);
        }
        break;
    }
}

// Restores the black count after a black node left from under `xp`, where
// `x` (possibly null) now hangs.
void remove_fixup(TimerNode** root, TimerNode* x, TimerNode* xp) {
    while (x != *root && !is_red(x)) {
        if (x == xp->left) {
            TimerNode* w = xp->right;
            if (is_red(w)) {
                rotate_left(root, xp);
                paint(w, LINK_BLACK);
                paint(xp, LINK_RED);
                w = xp->right;
            }
            if (!is_red(w->left) && !is_red(w->right)) {
                paint(w, LINK_RED);
                x = xp;
                xp = x->parent;
                continue;
            }
            if (!is_red(w->right)) {
                TimerNode* wl = w->left;
                rotate_right(root, w);
                paint(wl, LINK_BLACK);
                paint(w, LINK_RED);
                w = wl;
            }
            uint8_t c = colour(xp);
            rotate_left(root, xp);
            paint(w, c);
            paint(xp, LINK_BLACK);
            paint(w->right, LINK_BLACK);
        } else {
            TimerNode* w = xp->left;
            if (is_red(w)) {
                rotate_right(root, xp);
                paint(w, LINK_BLACK);
                paint(xp, LINK_RED);
                w = xp->left;
            }
            if (!is_red(w->left) && !is_red(w->right)) {
                paint(w, LINK_RED);
                x = xp;
                xp = x->parent;
                continue;
            }
            if (!is_red(w->left)) {
                TimerNode* wr = w->right;
                rotate_left(root, w);
                paint(wr, LINK_BLACK);
                paint(w, LINK_RED);
                w = wr;
            }
            uint8_t c = colour(xp);
            rotate_right(root, xp);
            paint(w, c);
            paint(xp, LINK_BLACK);
            paint(w->left, LINK_BLACK);
        }
        return;
    }
    paint(x, LINK_BLACK);
}

} // namespace

void timer_node_clear(TimerNode* node) {
    node->parent = node->left = node->right = nullptr;
    node->left_link = node->right_link = LINK_NONE;
}

TimerNode* timer_tree_first(TimerNode* root) {
    return root ? leftmost(root) : nullptr;
}

TimerNode* timer_tree_next(TimerNode* node) {
    if (node->right) return leftmost(node->right);
    TimerNode* p = node->parent;
    while (p && node == p->right) {
        node = p;
        p = p->parent;
    }
    return p;
}

TimerNode* timer_tree_prev(TimerNode* node) {
    if (node->left) return rightmost(node->left);
    TimerNode* p = node->parent;
    while (p && node == p->left) {
        node = p;
        p = p->parent;
    }
    return p;
}

TimerNode* timer_tree_find_pred(TimerNode* root, uint64_t due) {
    TimerNode* pred = nullptr;
    // Never stops on an equal due time: equals go right, after the queued ones.
    for (TimerNode* n = root; n;) {
        if (due < timer_of(n)->due) {
            n = n->left;
        } else {
            pred = n;
            n = n->right;
        }
    }
    return pred;
}

void timer_tree_insert_after(TimerNode** root, TimerNode* pred, TimerNode* node) {
    timer_node_clear(node);
    if (!pred) {
        if (!*root) {
            *root = node;
            return;
        }
        set_left(leftmost(*root), node, LINK_RED);
    } else if (!pred->right) {
        set_right(pred, node, LINK_RED);
    } else {
        set_left(leftmost(pred->right), node, LINK_RED);
    }
    insert_fixup(root, node);
}

void timer_tree_remove(TimerNode** root, TimerNode* z) {
    TimerNode* x;
    TimerNode* xp;
    uint8_t removed;
    if (!z->left || !z->right) {
        x = z->left ? z->left : z->right;
        uint8_t xc = z->left ? z->left_link : z->right_link;
        removed = colour(z);
        xp = z->parent;
        replace(root, z, x, xc);
    } else {
        // Two children: the in-order predecessor takes the node's place.
        TimerNode* y = rightmost(z->left);
        removed = colour(y);
        x = y->left;
        uint8_t xc = y->left_link;
        uint8_t zc = colour(z);
        if (y->parent == z) {
            xp = y;
        } else {
            xp = y->parent;
            set_right(xp, x, xc);
            set_left(y, z->left, z->left_link);
        }
        set_right(y, z->right, z->right_link);
        replace(root, z, y, zc);
    }
    timer_node_clear(z);
    if (removed == LINK_BLACK) remove_fixup(root, x, xp);
}
