#include "base/args.h"
#include "base/runtime/record.h"
#include "base/runtime/runtime.h"
#include "base/runtime/signal.h"
#include "tests/runtime_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Listeners that note their name in a shared log when called.
struct Named {
    SignalListener listener;
    char name;
    std::string* log;
};
void note(SignalListener* l) {
    Named* n = reinterpret_cast<Named*>(l);
    *n->log += n->name;
}

TEST(RuntimeSignalTest, AddingToASetSignalIsRefused) {
    Signal s;
    signal_init(&s);
    signal_set(&s);
    SignalListener l{note, reinterpret_cast<SignalListener**>(&s), nullptr};
    EXPECT_FALSE(signal_add_listener(&s, note, &l));
    EXPECT_EQ(l.callback, nullptr);
    EXPECT_EQ(l.link, nullptr);
    EXPECT_EQ(s.listeners, nullptr);
}

TEST(RuntimeSignalTest, ListenersRunInRegistrationOrderOnce) {
    Signal s;
    signal_init(&s);
    std::string log;
    Named a{{}, 'A', &log}, b{{}, 'B', &log}, c{{}, 'C', &log};
    for (Named* n : {&a, &b, &c}) ASSERT_TRUE(signal_add_listener(&s, note, &n->listener));
    signal_set(&s);
    EXPECT_EQ(log, "ABC");
    EXPECT_TRUE(signal_is_set(&s));
    signal_set(&s);
    EXPECT_EQ(log, "ABC");
    for (Named* n : {&a, &b, &c}) EXPECT_FALSE(signal_remove_listener(&s, &n->listener));
}

TEST(RuntimeSignalTest, RemovedListenerIsNotCalled) {
    Signal s;
    signal_init(&s);
    std::string log;
    Named a{{}, 'A', &log}, b{{}, 'B', &log}, c{{}, 'C', &log};
    for (Named* n : {&a, &b, &c}) ASSERT_TRUE(signal_add_listener(&s, note, &n->listener));
    EXPECT_TRUE(signal_remove_listener(&s, &b.listener));
    EXPECT_FALSE(signal_remove_listener(&s, &b.listener));
    EXPECT_TRUE(signal_remove_listener(&s, &c.listener)); // the head
    ASSERT_TRUE(signal_add_listener(&s, note, &b.listener));
    signal_set(&s);
    EXPECT_EQ(log, "AB");
}

TEST(RuntimeSignalTest, ResetOfAClearSignalCallsEveryListener) {
    Signal s;
    signal_init(&s);
    std::string log;
    Named a{{}, 'A', &log}, b{{}, 'B', &log};
    ASSERT_TRUE(signal_add_listener(&s, note, &a.listener));
    ASSERT_TRUE(signal_add_listener(&s, note, &b.listener));
    signal_reset(&s);
    EXPECT_EQ(log, "AB");
    EXPECT_FALSE(signal_is_set(&s));
    EXPECT_FALSE(signal_remove_listener(&s, &a.listener));
    signal_set(&s);
    EXPECT_EQ(log, "AB");
    signal_reset(&s);
    EXPECT_FALSE(signal_is_set(&s));
}

TEST(RuntimeSignalTest, ZeroedSignalBecomesOrdinary) {
    Signal s{};
    EXPECT_EQ(signal_ready(&s), &s);
    EXPECT_EQ(s.ops, &signal_ordinary_ops);
    signal_set(&s);
    EXPECT_TRUE(signal_is_set(&s));
}

TEST(RuntimeSignalTest, ProcessTableAfterStartUp) {
    EXPECT_TRUE(signal_is_set(signal_number(3)));
    for (uint32_t n = 0; n <= 20; ++n)
        if (n != 3) {
            EXPECT_FALSE(signal_is_set(signal_number(n))) << n;
        }
    EXPECT_TRUE(signal_is_set(signal_number(21)));
    EXPECT_EQ(signal_number(200), signal_number(21));
    EXPECT_EQ(signal_number(0xFFFFFFFF), signal_number(21));
    EXPECT_NE(signal_number(20), signal_number(21));
}

TEST(RuntimeSignalTest, ConstantEntriesNeverChange) {
    std::string log;
    Named a{{}, 'A', &log};
    Signal* never = signal_number(0);
    Signal* always = signal_number(21);
    ASSERT_TRUE(signal_add_listener(never, note, &a.listener));
    signal_set(never);
    signal_reset(never);
    EXPECT_FALSE(signal_is_set(never));
    EXPECT_EQ(log, "");
    EXPECT_TRUE(signal_remove_listener(never, &a.listener));
    signal_reset(always);
    signal_set(always);
    EXPECT_TRUE(signal_is_set(always));
    EXPECT_FALSE(signal_add_listener(always, note, &a.listener));
    EXPECT_EQ(log, "");
}

TEST(RuntimeSignalTest, WaitEndsBySignalSecondOrTimeOut) {
    Signal a, b;
    signal_init(&a);
    signal_init(&b);
    signal_set(&a);
    EXPECT_TRUE(signal_wait(&a, &b, -1));
    signal_reset(&a);
    signal_set(&b);
    EXPECT_FALSE(signal_wait(&a, &b, -1));
    signal_reset(&b);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(signal_wait(&a, &b, 20));
    EXPECT_GE(elapsed_ms(start), 15);
    EXPECT_EQ(a.listeners, nullptr);
    EXPECT_EQ(b.listeners, nullptr);

    std::atomic<int> result{-1};
    std::thread t([&] { result = signal_wait(&a, nullptr, -1) ? 1 : 0; });
    // Set while the other thread waits, or before it begins: either way it
    // sees the first signal set.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    signal_set(&a);
    t.join();
    EXPECT_EQ(result, 1);
}

TEST(RuntimeSignalTest, ArmedNodeEventFollowsTheSignal) {
    Signal s;
    signal_init(&s);
    WaitNode* node = node_take();
    ASSERT_NE(node, nullptr);
    HANDLE ev = node_event(node);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(node_event(nullptr), nullptr);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;

    node_arm(node, &s);
    EXPECT_EQ(node->armed, 1);
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_TIMEOUT);
    node_disarm(node, &s); // still registered: simply removed
    EXPECT_EQ(node->armed, 0);
    EXPECT_EQ(s.listeners, nullptr);

    node_arm(node, &s);
    std::thread([&] { signal_set(&s); }).join();
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(node->fired, 1);
    node_disarm(node, &s); // fired: the event is cleared
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(node->armed, 0);
    EXPECT_EQ(node->fired, 0);

    node_arm(node, &s); // already set: signalled at once
    EXPECT_EQ(NtWaitForSingleObject(ev, FALSE, &zero), STATUS_SUCCESS);
    node_disarm(node, &s);
    node_arm(nullptr, &s);
    node_disarm(node, nullptr);
    node_release(node);
    node_release(nullptr);
}

struct Counted {
    GroupMember member;
    ListenerGroup* group;
};
void member_called(SignalListener* l) {
    Counted* c =
        reinterpret_cast<Counted*>(reinterpret_cast<char*>(l) - offsetof(GroupMember, listener));
    __atomic_store_n(&c->member.active, nullptr, __ATOMIC_SEQ_CST);
    __atomic_sub_fetch(&c->group->pending, 1, __ATOMIC_SEQ_CST);
}

TEST(RuntimeSignalTest, GroupDetachRemovesMembersAndWaitsForCallbacks) {
    ListenerGroup g{};
    signal_init(&g.signal);
    Signal s1, s2;
    signal_init(&s1);
    signal_init(&s2);
    Counted m1{{member_called, nullptr, &s1, {}}, &g};
    Counted m2{{member_called, nullptr, &s2, {}}, &g};
    m1.member.next = &m2.member;
    g.members = &m1.member;
    g.pending = 2;
    ASSERT_TRUE(signal_add_listener(&s1, member_called, &m1.member.listener));
    ASSERT_TRUE(signal_add_listener(&s2, member_called, &m2.member.listener));
    signal_set(&s2); // m2's callback has run
    EXPECT_EQ(g.pending, 1);
    listener_group_detach(&g);
    EXPECT_EQ(g.pending, 0);
    EXPECT_EQ(m1.member.active, nullptr);
    EXPECT_EQ(s1.listeners, nullptr);
}

// Listeners come and go while other threads set and reset the signal: each
// registration is either removed uncalled or called exactly once.
TEST(RuntimeSignalTest, ListenersComeAndGoWhileSignalled) {
    Signal s;
    signal_init(&s);
    std::atomic<bool> running{true};
    struct Tracked {
        SignalListener listener;
        std::atomic<int> calls;
    };
    auto called = [](SignalListener* l) {
        Tracked* t = reinterpret_cast<Tracked*>(l);
        ++t->calls;
        __atomic_store_n(&l->callback, nullptr, __ATOMIC_RELEASE);
    };
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 2000; ++j) {
                Tracked t{};
                if (!signal_add_listener(&s, called, &t.listener)) continue;
                if (j % 3 == 0) std::this_thread::yield();
                if (signal_remove_listener(&s, &t.listener)) {
                    if (t.calls != 0) ++bad;
                } else {
                    while (__atomic_load_n(&t.listener.callback, __ATOMIC_ACQUIRE))
                        std::this_thread::yield();
                    if (t.calls != 1) ++bad;
                }
            }
        });
    std::thread toggler([&] {
        while (running) {
            signal_set(&s);
            signal_reset(&s);
        }
    });
    for (auto& t : threads) t.join();
    running = false;
    toggler.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(s.listeners, nullptr);
}

// The exit handlers run in the opposite order of their registration: the
// runtime's teardown (signals 5 and 6, record freed), then signal 7, then
// the cleanup of the argument store, which is still intact at signal 7.
SignalListener g_on_teardown, g_on_exit_signal;
void on_teardown(SignalListener*) {
    fprintf(stderr, "[5: record %s]", runtime_record() ? "kept" : "gone");
}
void on_exit_signal(SignalListener*) {
    fprintf(stderr, "[7: record %s, arguments %s]", runtime_record() ? "kept" : "gone",
            g_argument_store.owned ? "kept" : "freed");
    fflush(stderr);
}

void listen_and_exit() {
    static char16_t a0[] = u"prog";
    static char16_t* wide[] = {a0, nullptr};
    args_install(1, wide);
    signal_add_listener(signal_number(5), on_teardown, &g_on_teardown);
    signal_add_listener(signal_number(7), on_exit_signal, &g_on_exit_signal);
    exit(0);
}

TEST(RuntimeStartupDeathTest, ExitHandlersRunInReverseOrder) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(listen_and_exit(), ::testing::ExitedWithCode(0),
                "\\[5: record kept\\]\\[7: record gone, arguments kept\\]");
}

TEST(RuntimeStartupTest, ValuesPublishedThenRuntimeMade) {
    EXPECT_NE(__atomic_load_n(&g_cached_directory.slot, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_NE(__atomic_load_n(&g_cached_user_name.slot, __ATOMIC_ACQUIRE), nullptr);
    EXPECT_TRUE(exit_cleanup_registered());
    EXPECT_NE(runtime_record(), nullptr);
    EXPECT_TRUE(signal_is_set(signal_number(3)));
}

} // namespace
