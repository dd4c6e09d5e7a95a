// The timer tree against an ordered multiset: random schedules and cancels,
// with the order, the tie rule, the link bytes and both red-black rules
// checked after every step.
#include "base/runtime/timertree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

struct Item {
    Timer timer;
    uint64_t seq; // order of scheduling, for the tie rule
};

Item* item_of(TimerNode* n) {
    return reinterpret_cast<Item*>(timer_of(n));
}

// Walks the subtree and returns its black height (links to black nodes on
// any path down to a missing child); -1 with `why` filled on a broken rule.
// Plain tests, not gtest assertions: this runs after every step.
int check_subtree(const TimerNode* n, bool red, size_t* count, const char** why) {
    if (!n) return 0;
    ++*count;
    int heights[2];
    const TimerNode* kids[2] = {n->left, n->right};
    const uint8_t links[2] = {n->left_link, n->right_link};
    for (int i = 0; i < 2; ++i) {
        if (!kids[i]) {
            if (links[i] != LINK_NONE) return *why = "a missing child's link is not 255", -1;
            heights[i] = 0;
            continue;
        }
        if (kids[i]->parent != n) return *why = "a child's parent link is wrong", -1;
        if (links[i] != LINK_RED && links[i] != LINK_BLACK)
            return *why = "a child's link is neither red nor black", -1;
        bool kid_red = links[i] == LINK_RED;
        if (red && kid_red) return *why = "a red node has a red child", -1;
        int h = check_subtree(kids[i], kid_red, count, why);
        if (h < 0) return -1;
        heights[i] = h + (kid_red ? 0 : 1);
    }
    if (heights[0] != heights[1]) return *why = "black heights differ", -1;
    return heights[0];
}

// The tree holds exactly the reference's items, in its order (equal due
// times in scheduling order), walking forwards and backwards.
::testing::AssertionResult tree_matches(TimerNode* root,
                                        const std::set<std::pair<uint64_t, uint64_t>>& ref) {
    if (root && root->parent) return ::testing::AssertionFailure() << "the root has a parent";
    size_t count = 0;
    const char* why = nullptr;
    if (check_subtree(root, false, &count, &why) < 0) return ::testing::AssertionFailure() << why;
    if (count != ref.size())
        return ::testing::AssertionFailure() << count << " nodes for " << ref.size() << " items";
    auto it = ref.begin();
    TimerNode* last = nullptr;
    for (TimerNode* n = timer_tree_first(root); n; n = timer_tree_next(n), ++it) {
        if (item_of(n)->timer.due != it->first || item_of(n)->seq != it->second)
            return ::testing::AssertionFailure() << "out of order at due " << it->first;
        if (timer_tree_prev(n) != last) return ::testing::AssertionFailure() << "bad predecessor";
        last = n;
    }
    return ::testing::AssertionSuccess();
}

size_t height(const TimerNode* n) {
    if (!n) return 0;
    return 1 + std::max(height(n->left), height(n->right));
}

void schedule(TimerNode** root, Item* item, uint64_t due, uint64_t seq) {
    item->timer.due = due;
    item->seq = seq;
    timer_tree_insert_after(root, timer_tree_find_pred(*root, due), &item->timer.node);
}

void run_random(uint32_t seed, size_t pool_size, uint64_t due_range, size_t steps,
                size_t check_every) {
    std::mt19937_64 rng(seed);
    std::vector<Item> items(pool_size);
    for (Item& i : items) timer_node_clear(&i.timer.node);
    std::set<std::pair<uint64_t, uint64_t>> ref;
    TimerNode* root = nullptr;
    uint64_t seq = 0;
    for (size_t step = 0; step < steps; ++step) {
        Item& item = items[rng() % pool_size];
        if (!timer_node_queued(&root, &item.timer.node)) {
            uint64_t due = rng() % due_range;
            schedule(&root, &item, due, ++seq);
            ref.emplace(due, seq);
        } else {
            ASSERT_EQ(ref.erase({item.timer.due, item.seq}), 1u);
            timer_tree_remove(&root, &item.timer.node);
            const TimerNode& n = item.timer.node;
            ASSERT_TRUE(!n.parent && !n.left && !n.right);
            ASSERT_EQ(n.left_link, LINK_NONE);
            ASSERT_EQ(n.right_link, LINK_NONE);
            ASSERT_FALSE(timer_node_queued(&root, &n));
        }
        if (step % check_every == 0 || step + 1 == steps) {
            ASSERT_TRUE(tree_matches(root, ref)) << "after step " << step;
        }
    }
}

TEST(RuntimeAlarmTreeTest, RandomSchedulesAndCancelsMatchAnOrderedMultiset) {
    // Few due times, so ties are common; every step checked.
    run_random(1, 200, 16, 300000, 1);
    // Wide due times.
    run_random(2, 300, UINT64_MAX, 100000, 1);
}

TEST(RuntimeAlarmTreeTest, LargeTreesStayBalanced) {
    run_random(3, 50000, 1000, 400000, 50000);
    // Ascending and descending due times, the worst inputs of a plain tree.
    for (int descending = 0; descending < 2; ++descending) {
        const size_t n = 1 << 16;
        std::vector<Item> items(n);
        TimerNode* root = nullptr;
        std::set<std::pair<uint64_t, uint64_t>> ref;
        for (size_t i = 0; i < n; ++i) {
            uint64_t due = descending ? n - i : i;
            schedule(&root, &items[i], due, i);
            ref.emplace(due, i);
        }
        ASSERT_TRUE(tree_matches(root, ref));
        // A red-black tree of n nodes is at most 2 log2(n + 1) high.
        EXPECT_LE(height(root), 2u * 17u);
        for (size_t i = 0; i < n; i += 2) {
            ref.erase({items[i].timer.due, items[i].seq});
            timer_tree_remove(&root, &items[i].timer.node);
        }
        ASSERT_TRUE(tree_matches(root, ref));
        EXPECT_LE(height(root), 2u * 16u);
    }
}

TEST(RuntimeAlarmTreeTest, EqualDueTimesKeepTheirSchedulingOrder) {
    Item items[5];
    TimerNode* root = nullptr;
    for (int i = 0; i < 5; ++i) schedule(&root, &items[i], 7, i);
    Item early, late;
    schedule(&root, &late, 9, 10);
    schedule(&root, &early, 3, 11);
    std::vector<Item*> order;
    for (TimerNode* n = timer_tree_first(root); n; n = timer_tree_next(n))
        order.push_back(item_of(n));
    std::vector<Item*> want = {&early,    &items[0], &items[1], &items[2],
                               &items[3], &items[4], &late};
    EXPECT_EQ(order, want);
    // The predecessor of a new due-7 timer is the last due-7 one.
    EXPECT_EQ(timer_tree_find_pred(root, 7), &items[4].timer.node);
    EXPECT_EQ(timer_tree_find_pred(root, 2), nullptr);
}

TEST(RuntimeAlarmTreeTest, InsertionAfterAGivenPredecessor) {
    // No predecessor: the new node becomes the first; a predecessor with a
    // right subtree: the new node goes right after it all the same.
    Item a, b, c, d;
    TimerNode* root = nullptr;
    a.timer.due = b.timer.due = c.timer.due = d.timer.due = 0;
    timer_tree_insert_after(&root, nullptr, &a.timer.node);
    EXPECT_EQ(root, &a.timer.node);
    EXPECT_EQ(a.timer.node.left_link, LINK_NONE);
    timer_tree_insert_after(&root, nullptr, &b.timer.node);
    EXPECT_EQ(a.timer.node.left, &b.timer.node);
    EXPECT_EQ(a.timer.node.left_link, LINK_RED);
    timer_tree_insert_after(&root, &b.timer.node, &c.timer.node); // b c a
    timer_tree_insert_after(&root, &b.timer.node, &d.timer.node); // b d c a
    std::vector<TimerNode*> order;
    for (TimerNode* n = timer_tree_first(root); n; n = timer_tree_next(n)) order.push_back(n);
    std::vector<TimerNode*> want = {&b.timer.node, &d.timer.node, &c.timer.node, &a.timer.node};
    EXPECT_EQ(order, want);
}

} // namespace
