#include "base/args.h"
#include "base/test_control.h"
#include "base/utf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(Args, ConvertsNonAsciiAstralAndEmptyArguments) {
    char16_t a0[] = u"eolset";
    char16_t a1[] = u"caf\u00E9";
    char16_t a2[] = u"\U0001F600x";
    char16_t a3[] = u"";
    char16_t* wide[] = {a0, a1, a2, a3, nullptr};
    char** v = args_to_utf8(heap_allocator(), wide);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v[0], "eolset");
    EXPECT_STREQ(v[1], "caf\xC3\xA9");
    EXPECT_STREQ(v[2], "\xF0\x9F\x98\x80x");
    EXPECT_STREQ(v[3], "");
    EXPECT_EQ(v[4], nullptr);
    // One block: pointers first, then the strings one after another.
    char* text = reinterpret_cast<char*>(v + 5);
    EXPECT_EQ(v[0], text);
    EXPECT_EQ(v[1], text + 7);
    EXPECT_EQ(v[3], v[2] + 6);
    mem_free(v);
}

TEST(Args, NullVectorHasNoEntries) {
    char** v = args_to_utf8(heap_allocator(), nullptr);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v[0], nullptr);
    mem_free(v);
}

TEST(Args, OutOfMemoryStoresNothing) {
    ArgumentStore before = g_argument_store;
    char16_t a0[] = u"x";
    char16_t* wide[] = {a0, nullptr};
    mem_fail_at(1);
    EXPECT_FALSE(args_install(1, wide));
    mem_fail_at(0);
    EXPECT_EQ(g_argument_store.utf8, before.utf8);
    EXPECT_EQ(g_argument_store.owned, before.owned);
    EXPECT_EQ(args_get(nullptr), before.utf8);
}

TEST(Args, InstallGetAndCleanup) {
    char16_t a0[] = u"prog";
    char16_t a1[] = u"arg";
    char16_t* wide[] = {a0, a1, nullptr};
    ASSERT_TRUE(args_install(2, wide));
    EXPECT_TRUE(exit_cleanup_registered());
    int32_t count = 0;
    char** v = args_get(&count);
    EXPECT_EQ(count, 2);
    EXPECT_STREQ(v[1], "arg");
    // The cleanup also resets the cached process values; keep the real ones
    // for the tests that run after this one.
    ProcessValue dir = g_cached_directory, user = g_cached_user_name;
    g_cached_directory.owned = g_cached_user_name.owned = nullptr;
    exit_cleanup_run();
    EXPECT_EQ(g_cached_directory.slot, g_cached_directory.fallback);
    EXPECT_EQ(g_cached_user_name.slot, g_cached_user_name.fallback);
    g_cached_directory = dir;
    g_cached_user_name = user;
    v = args_get(&count);
    EXPECT_EQ(count, 1);
    EXPECT_STREQ(v[0], ".");
    EXPECT_EQ(v[1], nullptr);
    EXPECT_EQ(g_argument_store.owned, nullptr);
}

TEST(Args, InstallOnceFirstValueWins) {
    void* slot = nullptr;
    void* owner = nullptr;
    static const char fallback[] = "fallback";
    void* first = mem_malloc(8);
    void* second = mem_malloc(8); // freed by the losing call (ASan checks it)
    EXPECT_EQ(install_once(&slot, &owner, first, fallback), first);
    EXPECT_EQ(install_once(&slot, &owner, second, fallback), first);
    EXPECT_EQ(owner, first);
    mem_free(first);

    void* empty = nullptr;
    void* empty_owner = nullptr;
    EXPECT_EQ(install_once(&empty, &empty_owner, nullptr, fallback), fallback);
    EXPECT_EQ(empty_owner, nullptr);
}

TEST(Args, InstallOnceRacedFromThreads) {
    for (int round = 0; round < 20; ++round) {
        void* slot = nullptr;
        void* owner = nullptr;
        std::atomic<int> go{0};
        std::vector<void*> seen(8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                void* mine = mem_malloc(16);
                while (!go.load()) {
                }
                seen[i] = install_once(&slot, &owner, mine, nullptr);
            });
        }
        go = 1;
        for (auto& t : threads) t.join();
        for (void* s : seen) EXPECT_EQ(s, slot);
        EXPECT_EQ(owner, slot);
        mem_free(slot);
    }
}

} // namespace
