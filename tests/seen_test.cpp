#include "app/seen.h"
#include "base/test_control.h"

#include "base/alloc.h"

#include <gtest/gtest.h>

namespace {

FileEntry file(uint64_t id, uint32_t volume = 7, uint64_t high = 0) {
    FileEntry e{};
    e.file_id[0] = id;
    e.file_id[1] = high;
    e.volume_id[0] = volume;
    e.volume_id[2] = ~volume;
    return e;
}

TEST(Seen, EachIdentityIsNewOnce) {
    seen_reset();
    FileEntry a = file(1), b = file(2), other_volume = file(1, 8), high = file(1, 7, 1);
    EXPECT_TRUE(seen_first_fix(&a));
    EXPECT_FALSE(seen_first_fix(&a));
    EXPECT_TRUE(seen_first_fix(&b));
    EXPECT_TRUE(seen_first_fix(&other_volume));
    EXPECT_TRUE(seen_first_fix(&high));
    EXPECT_FALSE(seen_first_fix(&high));
    // No identity: nothing to remember it by.
    FileEntry none{};
    EXPECT_TRUE(seen_first_fix(&none));
    EXPECT_TRUE(seen_first_fix(&none));
    seen_reset();
    EXPECT_TRUE(seen_first_fix(&a));
    seen_reset();
}

TEST(Seen, GrowsAndKeepsEverything) {
    seen_reset();
    for (uint64_t i = 1; i <= 5000; ++i) {
        FileEntry e = file(i * 4096);
        ASSERT_TRUE(seen_first_fix(&e)) << i;
    }
    for (uint64_t i = 1; i <= 5000; ++i) {
        FileEntry e = file(i * 4096);
        ASSERT_FALSE(seen_first_fix(&e)) << i;
    }
    seen_reset();
}

// Without memory the file is taken as new: at worst a second prediction.
TEST(Seen, OutOfMemoryTakesTheFileAsNew) {
    seen_reset();
    FileEntry a = file(1);
    mem_fail_at(1, true);
    EXPECT_TRUE(seen_first_fix(&a));
    EXPECT_TRUE(seen_first_fix(&a));
    mem_fail_at(0);
    EXPECT_TRUE(seen_first_fix(&a));
    EXPECT_FALSE(seen_first_fix(&a));
    seen_reset();
}

} // namespace
