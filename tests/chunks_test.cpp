#include "app/chunks.h"
#include "base/alloc_test_hooks.h"
#include "base/alloc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string contents(const ChunkBuffer& c) {
    std::string s;
    for (const ChunkBlock* b = c.first; b; b = b->next)
        s.append(reinterpret_cast<const char*>(b->data), b->filled);
    return s;
}

std::vector<uint64_t> fills(const ChunkBuffer& c) {
    std::vector<uint64_t> v;
    for (const ChunkBlock* b = c.first; b; b = b->next) v.push_back(b->filled);
    return v;
}

struct Chunks : ::testing::Test {
    ChunkBuffer c;
    // Blocks from the cache would take no heap call for a failure to hit.
    void SetUp() override { chunks_cache_release(); }
    void TearDown() override {
        mem_fail_at(0);
        chunks_release(&c);
        EXPECT_EQ(c.first, nullptr);
    }
};

TEST_F(Chunks, NewBufferHasOneEmptyBlock) {
    chunks_create(&c);
    EXPECT_EQ(c.failure, 0u);
    ASSERT_NE(c.first, nullptr);
    EXPECT_EQ(c.first, c.last);
    EXPECT_EQ(c.first->next, nullptr);
    EXPECT_EQ(c.first->filled, 0u);
    EXPECT_EQ(chunks_length(&c), 0u);
}

TEST_F(Chunks, SecondBlockStartsAtTheFiftyThousandAndFirstByte) {
    chunks_create(&c);
    for (int i = 0; i < 50000; ++i) chunks_put(&c, static_cast<unsigned char>(i));
    EXPECT_EQ(fills(c), std::vector<uint64_t>{50000});
    chunks_put(&c, 'x');
    EXPECT_EQ(fills(c), (std::vector<uint64_t>{50000, 1}));
    EXPECT_EQ(c.last->data[0], 'x');
    EXPECT_EQ(c.last->next, nullptr);
}

// Runs split across blocks exactly where single appends would.
TEST_F(Chunks, RunsMatchSingleAppends) {
    std::string expect;
    ChunkBuffer single;
    chunks_create(&single);
    chunks_create(&c);
    uint32_t seed = 7;
    for (int round = 0; round < 300; ++round) {
        seed = seed * 1103515245u + 12345u;
        uint64_t n = (seed >> 8) % 1200;
        if (round % 50 == 0) n = 49999 + round % 3;
        std::string run;
        for (uint64_t i = 0; i < n; ++i) run.push_back(static_cast<char>('a' + (i + round) % 26));
        chunks_put_run(&c, reinterpret_cast<const unsigned char*>(run.data()), run.size());
        for (char ch : run) chunks_put(&single, static_cast<unsigned char>(ch));
        expect += run;
    }
    EXPECT_EQ(contents(c), expect);
    EXPECT_EQ(fills(c), fills(single));
    EXPECT_EQ(chunks_length(&c), expect.size());
    chunks_release(&single);
}

TEST_F(Chunks, FailedBlockSetsCodeDropsTheByteAndNeverClears) {
    chunks_create(&c);
    for (int i = 0; i < 50000; ++i) chunks_put(&c, 'a');
    mem_fail_at(1);
    chunks_put(&c, 'b'); // dropped
    EXPECT_EQ(c.failure, 14u);
    EXPECT_EQ(fills(c), std::vector<uint64_t>{50000});
    chunks_put(&c, 'c'); // the next append tries again, and succeeds
    EXPECT_EQ(fills(c), (std::vector<uint64_t>{50000, 1}));
    EXPECT_EQ(c.last->data[0], 'c');
    EXPECT_EQ(c.failure, 14u);
}

TEST_F(Chunks, FailedRunKeepsWhatFitAndReleaseFreesEveryBlock) {
    chunks_create(&c);
    std::string run(120000, 'r');
    mem_fail_at(2);
    chunks_put_run(&c, reinterpret_cast<const unsigned char*>(run.data()), run.size());
    EXPECT_EQ(c.failure, 14u);
    EXPECT_EQ(fills(c), (std::vector<uint64_t>{50000, 50000}));
    // TearDown releases both blocks; ASan reports any leak.
}

TEST_F(Chunks, NoFirstBlockMeansAppendsDoNothing) {
    mem_fail_at(1);
    chunks_create(&c);
    mem_fail_at(0);
    EXPECT_EQ(c.failure, 14u);
    EXPECT_EQ(c.first, nullptr);
    chunks_put(&c, 'a');
    unsigned char run[3] = {1, 2, 3};
    chunks_put_run(&c, run, 3);
    EXPECT_EQ(c.first, nullptr);
    EXPECT_EQ(chunks_length(&c), 0u);
}

} // namespace
