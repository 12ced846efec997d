#include "capture/TranscriptQueue.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

// A burst of events for one transcript joins the work already waiting or
// under way: one read each time the file settles, not one per event, and
// never two reads of it at once.
TEST(TranscriptQueue, eventsForOneTranscriptJoinThePendingReadAndNeverOverlap)
{
    const auto path = test::freshDirectory() / "t.jsonl";
    std::ofstream(path) << "x\n";
    std::atomic<int> reads{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlapped{0};
    TranscriptQueue queue({20ms, 5ms, {}}, 4, 16, [&](const TranscriptQueue::Request&) {
        if (++inside > 1)
            ++overlapped;
        ++reads;
        std::this_thread::sleep_for(30ms); // a read that takes a while
        --inside;
    });
    for (int i = 0; i < 300; ++i) {
        queue.submit({path.string(), std::nullopt, false});
        if (i % 100 == 0)
            std::this_thread::sleep_for(40ms); // some events arrive while a read runs
    }
    ASSERT_TRUE(queue.waitUntilIdle(10s));
    EXPECT_EQ(overlapped, 0);
    EXPECT_GE(reads, 1);
    EXPECT_LE(reads, 8);
}

TEST(TranscriptQueue, readsAgainAfterEachPauseThenForgetsTheTranscript)
{
    const auto path = test::freshDirectory() / "t.jsonl";
    std::atomic<int> reads{0};
    TranscriptQueue queue({0ms, 1ms, {10ms, 10ms, 10ms}}, 1, 16, [&](const TranscriptQueue::Request&) { ++reads; });
    bool ran = false;
    ASSERT_TRUE(queue.submit({path.string(), std::nullopt, false}, [&] { ran = true; }));
    ASSERT_TRUE(queue.waitUntilIdle(10s));
    EXPECT_EQ(reads, 4); // once, then after each of the three pauses
    EXPECT_TRUE(ran);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST(TranscriptQueue, beyondItsCapacityAnEventIsRefusedAndAfterStopEverythingIs)
{
    const auto dir = test::freshDirectory();
    TranscriptQueue queue({1000ms, 500ms, {}}, 1, 2, [](const TranscriptQueue::Request&) {});
    EXPECT_TRUE(queue.submit({(dir / "a").string(), std::nullopt, false}));
    EXPECT_TRUE(queue.submit({(dir / "b").string(), std::nullopt, false}));
    EXPECT_TRUE(queue.submit({(dir / "a").string(), std::nullopt, false})); // joins
    EXPECT_FALSE(queue.submit({(dir / "c").string(), std::nullopt, false}));
    int ended = 0;
    queue.submit({(dir / "a").string(), std::nullopt, false}, [&] { ++ended; });
    queue.stop(); // what waited is not read, but its sessions still end
    EXPECT_EQ(ended, 1);
    EXPECT_FALSE(queue.submit({(dir / "a").string(), std::nullopt, false}));
}

} // namespace
} // namespace tallyglass
