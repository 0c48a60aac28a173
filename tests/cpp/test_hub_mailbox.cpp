// The host queues' mailbox: bounded with the oldest dropped and counted, closing wakes a
// waiter, the eventfd is readable exactly while something waits; message names to keys.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <semaphore>
#include <thread>

#include "mailbox.hpp"

namespace {

using namespace std::chrono_literals;
using zq::hub::key_of;
using zq::hub::Mailbox;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

TEST(HubMailbox, FullQueueHandsBackTheOldestAndCountsIt) {
    Mailbox<int> box(3, false);
    for (int i = 1; i <= 3; ++i)
        EXPECT_FALSE(box.push(i).has_value());
    EXPECT_EQ(box.push(4), std::optional<int>(1));
    EXPECT_EQ(box.push(5), std::optional<int>(2));
    EXPECT_EQ(box.dropped(), 2u);
    EXPECT_EQ(box.size(), 3u);
    EXPECT_EQ(box.try_pop(), std::optional<int>(3));
    EXPECT_EQ(box.pop(0ns), std::optional<int>(4));
    EXPECT_EQ(box.take_all().size(), 1u);
    EXPECT_FALSE(box.try_pop().has_value());
}

TEST(HubMailbox, ClosedRefusesPushesAndDrainsThenEnds) {
    Mailbox<int> box(4, false);
    box.push(7);
    box.close();
    EXPECT_EQ(box.push(8), std::optional<int>(8));  // handed back: the caller disposes of it
    EXPECT_FALSE(box.finished());
    EXPECT_EQ(box.pop(), std::optional<int>(7));
    EXPECT_TRUE(box.finished());
    EXPECT_FALSE(box.pop().has_value());  // does not block once closed
}

TEST(HubMailbox, CloseWakesABlockedPopAndAPushWakesItToo) {
    Mailbox<int> box(2, false);
    std::optional<int> got = 1;
    std::thread waiter([&] { got = box.pop(); });
    std::this_thread::sleep_for(20ms);  // lets it block; the result is the same if it has not
    box.close();
    waiter.join();
    EXPECT_FALSE(got.has_value());

    Mailbox<int> box2(2, false);
    std::thread waiter2([&] { got = box2.pop(60s); });
    box2.push(42);
    waiter2.join();
    EXPECT_EQ(got, std::optional<int>(42));
}

TEST(HubMailbox, TimeoutPassesWithNothing) {
    Mailbox<int> box(2, false);
    EXPECT_FALSE(box.pop(1ms).has_value());
    EXPECT_FALSE(box.finished());
}

TEST(HubMailbox, EventfdIsReadableWhileItemsWaitAndOnceClosed) {
    Mailbox<int> box(2, true);
    ASSERT_GE(box.fd(), 0);
    EXPECT_FALSE(readable(box.fd()));
    box.push(1);
    box.push(2);
    EXPECT_TRUE(readable(box.fd()));
    box.try_pop();
    EXPECT_TRUE(readable(box.fd()));  // one still waits
    box.try_pop();
    EXPECT_FALSE(readable(box.fd()));
    box.push(3);
    box.push(4);
    box.push(5);  // a drop keeps it readable
    EXPECT_TRUE(readable(box.fd()));
    box.take_all();
    EXPECT_FALSE(readable(box.fd()));
    box.close();
    EXPECT_TRUE(readable(box.fd()));
    Mailbox<int> plain(1, false);
    EXPECT_EQ(plain.fd(), -1);
}

// The eventfd is raised after the producer lets the lock go, so a consumer may take the item
// before the raise lands. Racing a producer against a consumer that sleeps on the fd: every
// item arrives in order, and once the queue is empty and a take found nothing, the fd is not
// left readable (a stale raise would wake an event loop over and over with nothing to take).
TEST(HubMailbox, EventfdWaiterRacingTheProducerGetsAllAndNoStaleWakeUp) {
    constexpr int kItems = 20000;
    Mailbox<int> box(kItems, true);
    std::thread producer([&] {
        for (int i = 0; i < kItems; ++i)
            box.push(i);
    });
    int next = 0;
    while (next < kItems) {
        pollfd p{box.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 10000), 1) << "no wake-up with " << next << " taken";
        while (std::optional<int> v = box.pop(0ns)) {
            ASSERT_EQ(*v, next);
            ++next;
        }
    }
    producer.join();
    EXPECT_FALSE(box.try_pop().has_value());
    EXPECT_FALSE(readable(box.fd()));
    EXPECT_EQ(box.dropped(), 0u);
}

// The narrow case itself, made likely: the consumer takes each item as soon as it is queued,
// often before the producer's raise of the fd lands; once push() has returned and a take found
// nothing, the fd must not be readable.
TEST(HubMailbox, ItemTakenBeforeTheRaiseLandsLeavesNoReadableFd) {
    constexpr int kRounds = 5000;
    Mailbox<int> box(4, true);
    std::binary_semaphore go(0), pushed(0);
    std::thread producer([&] {
        for (int r = 0; r < kRounds; ++r) {
            go.acquire();
            box.push(r);
            pushed.release();
        }
    });
    int stale = 0;
    for (int r = 0; r < kRounds; ++r) {
        go.release();
        std::optional<int> v;
        while (!(v = box.try_pop())) {
        }
        ASSERT_EQ(*v, r);
        pushed.acquire();
        EXPECT_FALSE(box.try_pop().has_value());
        if (readable(box.fd())) ++stale;
    }
    producer.join();
    EXPECT_EQ(stale, 0);
}

TEST(HubMailbox, MessageNamesToKeys) {
    EXPECT_EQ(key_of("NAV-PVT"), std::optional<uint16_t>(0x0107));
    EXPECT_EQ(key_of("NAV-SAT"), std::optional<uint16_t>(0x0135));
    EXPECT_EQ(key_of("NAV-DOP"), std::optional<uint16_t>(0x0104));
    EXPECT_EQ(key_of("UNKNOWN-0x01-0x99"), std::optional<uint16_t>(0x0199));
    EXPECT_EQ(key_of("UNKNOWN-0xfe-0xAb"), std::optional<uint16_t>(0xFEAB));
    // A message the catalogue knows goes by its name only.
    EXPECT_FALSE(key_of("UNKNOWN-0x01-0x07").has_value());
    for (const char* bad : {"", "nav-pvt", "NAV-PVT ", "UNKNOWN-0x1-0x07", "UNKNOWN-0x01-0x0g",
                            "UNKNOWN-0x01_0x99", "UNKNOWN-0x01-0x999", "UNKNOWN-"})
        EXPECT_FALSE(key_of(bad).has_value()) << bad;
}

}  // namespace
