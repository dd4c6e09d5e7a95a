#include "base/alloc.h"
#include "base/test_control.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct Arena : ::testing::Test {
    ArenaAllocator arena;
    void SetUp() override { arena_init(&arena); }
    void TearDown() override {
        mem_fail_at(0);
        arena_release(&arena);
    }
    void* take(uint64_t n) { return allocate(arena_base(&arena), n); }
    uint64_t block_size(ArenaBlock* b) {
        return reinterpret_cast<unsigned char*>(b) + sizeof(ArenaBlock) -
               static_cast<unsigned char*>(b->start);
    }
};

TEST_F(Arena, FirstSmallAllocationMakesOneBlockWithReserve) {
    unsigned char* p = static_cast<unsigned char*>(take(10));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(arena.current, nullptr);
    EXPECT_EQ(arena.current->start, p);
    EXPECT_EQ(block_size(arena.current), 16u + 24u + 288u);
    EXPECT_EQ(arena.current->free, 288u);
    EXPECT_EQ(arena.total, 16u);
    // The next allocation of up to 288 bytes stays in the same block.
    ArenaBlock* first = arena.current;
    unsigned char* q = static_cast<unsigned char*>(take(288));
    EXPECT_EQ(arena.current, first);
    EXPECT_EQ(q, reinterpret_cast<unsigned char*>(first) - 288);
    EXPECT_EQ(first->free, 0u);
    EXPECT_EQ(first->next, nullptr);
}

TEST_F(Arena, AllocationsAreAlignedAndZeroed) {
    for (uint64_t n : {1, 3, 16, 17, 100, 1000, 5000}) {
        unsigned char* p = static_cast<unsigned char*>(take(n));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << n;
        for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(p[i], 0) << n;
        memset(p, 0xAB, n);
    }
}

TEST_F(Arena, ReserveGrowsWithTotalAndIsCapped) {
    take(1000); // n = 1008: reserve 2 * 1008 + 256
    EXPECT_EQ(arena.current->free, 2u * 1008 + 256);
    take(65000); // too big for the block: reserve 2 * (1008 + 65000) + 256, capped
    EXPECT_EQ(arena.current->free, ARENA_RESERVE_MAX);
    EXPECT_EQ(block_size(arena.current), 65008u + 24 + ARENA_RESERVE_MAX);
}

TEST_F(Arena, LargeRequestGetsOwnBlockBehindCurrent) {
    take(10);
    ArenaBlock* small = arena.current;
    unsigned char* big = static_cast<unsigned char*>(take(70000));
    ASSERT_NE(big, nullptr);
    // The current block has free room (288 > 0), so it stays current.
    EXPECT_EQ(arena.current, small);
    ASSERT_NE(small->next, nullptr);
    EXPECT_EQ(small->next->start, big);
    EXPECT_EQ(small->next->free, 0u);
    EXPECT_EQ(block_size(small->next), 70000u + 24);
    memset(big, 1, 70000);
}

TEST_F(Arena, LargeRequestOnFullBlockBecomesCurrent) {
    take(304); // n = 304 fills nothing yet: block with reserve 864
    take(864); // now the block is full
    ASSERT_EQ(arena.current->free, 0u);
    unsigned char* big = static_cast<unsigned char*>(take(70000));
    EXPECT_EQ(arena.current->start, big);
}

TEST_F(Arena, ZeroByteRequests) {
    void* none = take(0); // no block yet: one with a 256-byte reserve
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(arena.current->free, 256u);
    EXPECT_EQ(arena.current->start, none);
    void* at = take(0); // takes no room: the place of the next allocation
    EXPECT_EQ(at, reinterpret_cast<unsigned char*>(arena.current) - 256);
    EXPECT_EQ(take(16), at);
}

TEST_F(Arena, ReleaseThenReuseStartsFromZeroTotal) {
    take(5000);
    take(100);
    arena_release(&arena);
    EXPECT_EQ(arena.current, nullptr);
    EXPECT_EQ(arena.total, 0u);
    take(10);
    EXPECT_EQ(arena.current->free, 288u);
}

TEST_F(Arena, HeapFailureCountsAndKeepsEarlierAllocations) {
    char* a = static_cast<char*>(take(300));
    memset(a, 'x', 300);
    mem_fail_at(1);
    EXPECT_EQ(take(100000), nullptr);
    EXPECT_EQ(arena.failures, 1u);
    mem_fail_at(0);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(a[i], 'x');
    EXPECT_NE(take(16), nullptr);
    arena_release(&arena);
    EXPECT_EQ(arena.failures, 1u); // kept across the release
}

TEST(HeapAllocatorTest, ZeroFilledAndFailsThroughTheSeam) {
    HeapAllocator heap;
    heap_init(&heap);
    unsigned char* p = static_cast<unsigned char*>(allocate(&heap.base, 64));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
    mem_free(p);
    mem_fail_at(1);
    EXPECT_EQ(allocate(&heap.base, 64), nullptr);
    p = static_cast<unsigned char*>(allocate(&heap.base, 8)); // only the first call failed
    EXPECT_NE(p, nullptr);
    mem_free(p);
    mem_fail_at(2, true);
    void* ok = mem_malloc(4);
    EXPECT_NE(ok, nullptr);
    EXPECT_EQ(mem_malloc(4), nullptr);
    EXPECT_EQ(mem_calloc(1, 4), nullptr);
    mem_fail_at(0);
    mem_free(ok);
}

} // namespace
