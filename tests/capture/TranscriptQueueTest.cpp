#include "capture/TranscriptQueue.h"

#include "support/ManualClock.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <utility>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

// A burst of events for one transcript joins the work already waiting or
// under way: one read for those that came before the read began, one more for
// those that came while it ran, not one per event, and never two reads of it
// at once.
TEST(TranscriptQueue, eventsForOneTranscriptJoinThePendingReadAndNeverOverlap)
{
    const auto path = test::freshDirectory() / "t.jsonl";
    std::ofstream(path) << "x\n";
    std::atomic<int> reads{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlapped{0};
    std::promise<void> reading;
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    TranscriptQueue queue({20ms, 5ms, {}}, 4, 16, [&](const TranscriptQueue::Request&) {
        if (++inside > 1)
            ++overlapped;
        if (++reads == 1) {
            reading.set_value();
            released.wait(); // the first read lasts until the test has sent what comes during it
        }
        --inside;
        return true;
    });
    // However the test ends, the first read is let go before the queue waits for its threads.
    bool letGo = false;
    const auto letItGo = [&] {
        if (!std::exchange(letGo, true))
            release.set_value();
    };
    struct AtExit {
        std::function<void()> run;
        ~AtExit() { run(); }
    } const atExit{letItGo};
    for (int i = 0; i < 100; ++i)
        queue.submit({path.string(), std::nullopt, false});
    ASSERT_EQ(reading.get_future().wait_for(10s), std::future_status::ready);
    for (int i = 0; i < 200; ++i)
        queue.submit({path.string(), std::nullopt, false});
    letItGo();
    ASSERT_TRUE(queue.waitUntilIdle(10s));
    EXPECT_EQ(overlapped, 0);
    EXPECT_EQ(reads, 2);
}

TEST(TranscriptQueue, readsAgainAfterEachPauseThenForgetsTheTranscript)
{
    const auto path = test::freshDirectory() / "t.jsonl";
    std::atomic<int> reads{0};
    TranscriptQueue queue({0ms, 1ms, {10ms, 10ms, 10ms}}, 1, 16, [&](const TranscriptQueue::Request&) {
        ++reads;
        return true;
    });
    bool ran = false;
    ASSERT_TRUE(queue.submit({path.string(), std::nullopt, false}, [&] { ran = true; }));
    ASSERT_TRUE(queue.waitUntilIdle(10s));
    EXPECT_EQ(reads, 4); // once, then after each of the three pauses
    EXPECT_TRUE(ran);
    EXPECT_EQ(queue.pending(), 0u);
}

// A transcript whose read could not store is never forgotten: it is read
// again after pauses that double up to a limit; one of those waiting is tried
// at least every few seconds; and as soon as one read stores again, every one
// waiting is read at once, not after its own pause.
TEST(TranscriptQueue, whatCouldNotBeStoredIsTriedAgainUntilItIs)
{
    const auto dir = test::freshDirectory();
    using Reads = std::vector<std::string>;
    struct Probe {
        test::ManualClock clock;
        std::mutex mutex;
        Reads reads;
        std::atomic<bool> storing{false};
        std::unique_ptr<TranscriptQueue> queue;

        Probe(std::chrono::milliseconds first, std::chrono::milliseconds max, std::chrono::milliseconds check)
        {
            TranscriptQueue::Timing timing{0ms, 1ms, {}, first, max, check, clock.function()};
            queue = std::make_unique<TranscriptQueue>(timing, 2, 16, [this](const TranscriptQueue::Request& request) {
                std::lock_guard lock(mutex);
                reads.push_back(request.path.substr(request.path.size() - 1));
                return storing.load();
            });
        }
        Reads after(std::chrono::milliseconds by)
        {
            clock.advance(by);
            EXPECT_TRUE(queue->timeMoved(10s));
            std::lock_guard lock(mutex);
            Reads seen = std::exchange(reads, {});
            std::sort(seen.begin(), seen.end());
            return seen;
        }
    };

    // Pauses of 1, 2, 4 and then 8 s (the most), after the read at 1 ms.
    Probe backOff(1s, 8s, 1h);
    backOff.queue->submit({(dir / "a").string(), std::nullopt, false});
    EXPECT_EQ(backOff.after(1ms), Reads{"a"});
    for (const auto pause : {1s, 2s, 4s, 8s, 8s}) {
        EXPECT_EQ(backOff.after(pause - 1ms), Reads{}) << "early, before a pause of " << pause.count() << " s";
        EXPECT_EQ(backOff.after(1ms), Reads{"a"}) << "after a pause of " << pause.count() << " s";
    }
    EXPECT_EQ(backOff.queue->retrying(), 1u);

    // Pauses of an hour: the check every 5 s tries one of those waiting; once
    // one stores, every other one is read at once.
    Probe check(1h, 1h, 5s);
    for (const char* name : {"b", "c", "d"})
        check.queue->submit({(dir / name).string(), std::nullopt, false});
    EXPECT_EQ(check.after(1ms), (Reads{"b", "c", "d"}));
    EXPECT_EQ(check.after(5s).size(), 1u);
    EXPECT_EQ(check.queue->retrying(), 3u);
    check.storing = true;
    EXPECT_EQ(check.after(5s), (Reads{"b", "c", "d"}));
    EXPECT_EQ(check.queue->retrying(), 0u);
    EXPECT_TRUE(check.queue->waitUntilIdle(10s));
}

TEST(TranscriptQueue, beyondItsCapacityAnEventIsRefusedAndAfterStopEverythingIs)
{
    const auto dir = test::freshDirectory();
    // Nothing is read while the test runs: the first look at a file is an hour away.
    TranscriptQueue queue({1h, 1h, {}}, 1, 2, [](const TranscriptQueue::Request&) { return true; });
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
