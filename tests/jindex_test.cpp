#include "base/jindex.h"
#include "base/test_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

struct Rec {
    JiRecord links;
    int key;
};

Rec* as_rec(JiRecord* r) {
    return reinterpret_cast<Rec*>(r);
}

int32_t by_key(void* context, const JiRecord* record) {
    int key = *static_cast<int*>(context);
    int other = reinterpret_cast<const Rec*>(record)->key;
    return key < other ? -1 : key > other ? 1 : 0;
}

void add(JiRecord** root, Rec* r) {
    ASSERT_NE(ji_add(root, by_key, &r->key, &r->links), 0u);
}

std::vector<Rec*> read_forward(JiRecord** root) {
    std::vector<Rec*> out;
    ji_pos_t pos{};
    for (JiRecord* r = ji_first(&pos, root); r; r = ji_next(&pos)) out.push_back(as_rec(r));
    ji_pos_release(&pos);
    return out;
}

std::vector<Rec*> read_backward(JiRecord** root) {
    std::vector<Rec*> out;
    ji_pos_t pos{root, 0, {}, nullptr, 0};
    for (JiRecord* r = ji_prev(&pos); r; r = ji_prev(&pos)) out.push_back(as_rec(r));
    ji_pos_release(&pos);
    return out;
}

// Pre-order listing of keys with '.' for empty links: equal strings mean
// equal shapes.
std::string shape(const JiRecord* r) {
    if (!r) return ".";
    return "(" + std::to_string(reinterpret_cast<const Rec*>(r)->key) + " " + shape(r->less) + " " +
           shape(r->greater) + ")";
}

// Checks the heap order of priorities and returns the height.
int check_heap(const JiRecord* r) {
    if (!r) return 0;
    for (const JiRecord* c : {r->less, r->greater}) {
        if (c) {
            EXPECT_GE(ji_priority(c), ji_priority(r));
        }
    }
    return 1 + std::max(check_heap(r->less), check_heap(r->greater));
}

TEST(JIndex, PriorityIsWangsHash) {
    // Worked by hand from the hash's steps.
    auto wang = [](uint64_t k) {
        k = ~k + (k << 18);
        k ^= k >> 31;
        k *= 21;
        k ^= k >> 11;
        k *= 65;
        k ^= k >> 22;
        return static_cast<uint32_t>(k);
    };
    for (uint64_t a : {0x0ull, 0x10ull, 0x7fff12345670ull, 0xffffffffffffffffull}) {
        EXPECT_EQ(ji_priority(reinterpret_cast<const void*>(a)), wang(a)) << a;
    }
}

TEST(JIndex, EmptyIndex) {
    JiRecord* root = nullptr;
    ji_pos_t pos{};
    EXPECT_EQ(ji_first(&pos, &root), nullptr);
    EXPECT_EQ(pos.depth, 0u);
    EXPECT_EQ(ji_current(&pos), nullptr);
    EXPECT_EQ(ji_next(&pos), nullptr);
    EXPECT_EQ(ji_prev(&pos), nullptr);
    EXPECT_EQ(pos.depth, 0u);
}

TEST(JIndex, ReadsBackInOrderWhateverTheInsertionOrder) {
    const int n = 500;
    std::vector<Rec> recs(n);
    for (int i = 0; i < n; ++i) recs[i].key = i * 3;
    std::vector<int> order(n);
    for (int i = 0; i < n; ++i) order[i] = i;

    std::string first_shape;
    std::mt19937 rng(7);
    for (int round = 0; round < 4; ++round) {
        if (round == 1) std::reverse(order.begin(), order.end());
        if (round >= 2) std::shuffle(order.begin(), order.end(), rng);
        JiRecord* root = nullptr;
        for (int i : order) add(&root, &recs[i]);

        std::vector<Rec*> fwd = read_forward(&root);
        ASSERT_EQ(fwd.size(), size_t(n));
        for (int i = 0; i < n; ++i) EXPECT_EQ(fwd[i], &recs[i]);
        std::vector<Rec*> back = read_backward(&root);
        ASSERT_EQ(back.size(), size_t(n));
        for (int i = 0; i < n; ++i) EXPECT_EQ(back[i], &recs[n - 1 - i]);

        check_heap(root);
        if (round == 0) {
            first_shape = shape(root);
        } else {
            EXPECT_EQ(shape(root), first_shape) << "round " << round;
        }
    }
}

TEST(JIndex, EqualKeysComeInAddressOrder) {
    std::vector<Rec> recs(64);
    for (Rec& r : recs) r.key = 5;
    recs[10].key = 1;
    recs[20].key = 9;
    std::vector<Rec*> order;
    for (Rec& r : recs) order.push_back(&r);
    std::shuffle(order.begin(), order.end(), std::mt19937(3));
    JiRecord* root = nullptr;
    for (Rec* r : order) add(&root, r);

    std::vector<Rec*> got = read_forward(&root);
    ASSERT_EQ(got.size(), recs.size());
    EXPECT_EQ(got.front(), &recs[10]);
    EXPECT_EQ(got.back(), &recs[20]);
    for (size_t i = 2; i + 1 < got.size(); ++i) EXPECT_LT(got[i - 1], got[i]);
}

TEST(JIndex, StepsAcrossBothEnds) {
    std::vector<Rec> recs(20);
    JiRecord* root = nullptr;
    for (int i = 0; i < 20; ++i) {
        recs[i].key = 19 - i;
        add(&root, &recs[i]);
    }
    Rec* smallest = &recs[19];
    Rec* largest = &recs[0];

    ji_pos_t pos{};
    EXPECT_EQ(as_rec(ji_first(&pos, &root)), smallest);
    EXPECT_EQ(ji_prev(&pos), nullptr) << "before the smallest";
    EXPECT_EQ(pos.depth, 0u);
    EXPECT_EQ(as_rec(ji_prev(&pos)), largest) << "from depth 0 backward";
    EXPECT_EQ(ji_next(&pos), nullptr) << "past the largest";
    EXPECT_EQ(pos.depth, 0u);
    EXPECT_EQ(ji_current(&pos), nullptr);
    EXPECT_EQ(as_rec(ji_next(&pos)), smallest) << "from depth 0 forward";
    EXPECT_EQ(as_rec(ji_next(&pos))->key, 1);
    EXPECT_EQ(as_rec(ji_prev(&pos)), smallest);

    // Back and forth from the middle.
    int key = 10;
    ASSERT_EQ(ji_find(&pos, &root, by_key, &key, &recs[9].links), 1);
    EXPECT_EQ(as_rec(ji_current(&pos)), &recs[9]);
    EXPECT_EQ(as_rec(ji_next(&pos))->key, 11);
    EXPECT_EQ(as_rec(ji_prev(&pos))->key, 10);
    EXPECT_EQ(as_rec(ji_prev(&pos))->key, 9);
}

TEST(JIndex, FindPlacesOnTheSuccessorAndInsertLeavesThePositionOnTheRecord) {
    std::vector<Rec> recs(10);
    JiRecord* root = nullptr;
    for (int i = 0; i < 10; ++i) {
        recs[i].key = i * 10;
        add(&root, &recs[i]);
    }
    Rec extra{{nullptr, nullptr}, 35};
    ji_pos_t pos{};
    EXPECT_EQ(ji_find(&pos, &root, by_key, &extra.key, &extra.links), 0);
    EXPECT_EQ(as_rec(ji_current(&pos)), &recs[4]);
    uint64_t depth = ji_insert(&pos, &extra.links);
    EXPECT_EQ(pos.depth, depth);
    EXPECT_EQ(as_rec(ji_current(&pos)), &extra);
    EXPECT_EQ(as_rec(ji_next(&pos)), &recs[4]);

    Rec last{{nullptr, nullptr}, 1000};
    EXPECT_EQ(ji_find(&pos, &root, by_key, &last.key, &last.links), 0);
    EXPECT_EQ(pos.depth, 0u) << "nothing sorts after the key";
    ji_insert(&pos, &last.links);
    EXPECT_EQ(as_rec(ji_current(&pos)), &last);
    EXPECT_EQ(ji_next(&pos), nullptr);

    // Adding a record that is already in the index leaves the index alone.
    EXPECT_EQ(ji_add(&root, by_key, &extra.key, &extra.links), 0u);
    EXPECT_EQ(read_forward(&root).size(), 12u);
    check_heap(root);
}

// --- the overflow report --------------------------------------------------------

// The report goes to standard output; death tests read the child's stderr.
void stdout_to_stderr() {
    fflush(stdout);
#ifdef _WIN32
    SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
#else
    dup2(2, 1);
    // The report ends in a breakpoint trap, which would leave a core file.
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
#endif
}

// A tree of `count` records, each the `greater` (or less) child of the one
// before, built by hand so that it may be deeper than the index allows.
struct Chain {
    std::vector<Rec> recs;
    JiRecord* root = nullptr;
    Chain(int count, bool greater) : recs(count) {
        for (int i = 0; i < count; ++i) {
            recs[i].key = greater ? i : -i;
            recs[i].links = {nullptr, nullptr};
            if (i > 0)
                (greater ? recs[i - 1].links.greater : recs[i - 1].links.less) = &recs[i].links;
        }
        root = &recs[0].links;
    }
};

// Records whose priorities rise with their keys: added in key order, the
// treap is a chain of `count` greater links.
std::vector<Rec*> priority_chain(std::vector<Rec>& pool, int count) {
    std::vector<Rec*> by_prio;
    for (Rec& r : pool) by_prio.push_back(&r);
    std::sort(by_prio.begin(), by_prio.end(),
              [](Rec* a, Rec* b) { return ji_priority(a) < ji_priority(b); });
    by_prio.resize(count);
    for (int i = 0; i < count; ++i) by_prio[i]->key = i;
    return by_prio;
}

// Paths far deeper than the stack held in place: every way of pushing
// (descending first, finding, stepping either way, inserting) reaches every
// record, in order.
TEST(JIndex, PathsDeeperThanTheInlineStack) {
    for (int count : {59, 60, 200}) {
        SCOPED_TRACE(count);
        for (bool greater : {false, true}) {
            Chain c(count, greater);
            std::vector<Rec*> fwd = read_forward(&c.root);
            std::vector<Rec*> back = read_backward(&c.root);
            ASSERT_EQ(fwd.size(), size_t(count));
            ASSERT_EQ(back.size(), size_t(count));
            for (int i = 0; i < count; ++i) {
                EXPECT_EQ(fwd[i], &c.recs[greater ? i : count - 1 - i]);
                EXPECT_EQ(back[i], fwd[count - 1 - i]);
            }
            ji_pos_t pos{};
            Rec probe{};
            probe.key = greater ? count : -count;
            EXPECT_EQ(ji_find(&pos, &c.root, by_key, &probe.key, &probe.links), 0);
            // Past the last record's side: no successor when the chain grows
            // toward greater keys, else the smallest record (the deepest).
            EXPECT_EQ(ji_current(&pos), greater ? nullptr : &c.recs[count - 1].links);
            ji_pos_release(&pos);
        }
        std::vector<Rec> pool(4096);
        std::vector<Rec*> chain = priority_chain(pool, count);
        JiRecord* root = nullptr;
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(ji_add(&root, by_key, &chain[i]->key, &chain[i]->links), uint64_t(i + 1));
        std::vector<Rec*> fwd = read_forward(&root);
        ASSERT_EQ(fwd.size(), size_t(count));
        for (int i = 0; i < count; ++i) EXPECT_EQ(fwd[i]->key, i);
    }
}

// A million records (a large folder's worth, at neighbouring addresses as a
// heap hands them out): a random treap that size is about 60 deep.
TEST(JIndex, AMillionRecords) {
    const int n = 1000000;
    std::vector<Rec> recs(n);
    JiRecord* root = nullptr;
    uint64_t deepest = 0;
    for (int i = 0; i < n; ++i) {
        recs[i].key = static_cast<int>((i * 7919ull) % n); // every key once, scattered
        uint64_t depth = ji_add(&root, by_key, &recs[i].key, &recs[i].links);
        ASSERT_NE(depth, 0u);
        deepest = std::max(deepest, depth);
    }
    ji_pos_t pos{};
    int expect = 0;
    for (JiRecord* r = ji_first(&pos, &root); r; r = ji_next(&pos)) {
        ASSERT_EQ(as_rec(r)->key, expect);
        ++expect;
    }
    ji_pos_release(&pos);
    EXPECT_EQ(expect, n);
    RecordProperty("deepest", static_cast<int>(deepest));
}

// The one way a deep path can fail: no memory for its entries.
TEST(JIndexDeathTest, NoMemoryForADeepPath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            stdout_to_stderr();
            Chain c(59, false);
            ji_pos_t pos{};
            mem_fail_at(1);
            ji_first(&pos, &c.root);
        },
        "FATAL: base.jindex:235 ji_pos_t link stack out of memory");
}

} // namespace
