#include "core/SerialQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace tallyglass {
namespace {

TEST(SerialQueue, runsJobsOneAtATimeInOrderOnItsOwnThreadAndSyncHandsBackTheirOutcome)
{
    SerialQueue queue("tallyglass.test.queue");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i) {
        callers.emplace_back([&, i] {
            queue.sync([&] {
                if (++running > 1)
                    overlapped = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                order.push_back(i);
                --running;
            });
        });
    }
    for (auto& t : callers)
        t.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(order.size(), 8u);

    std::vector<int> fifo;
    for (int i = 0; i < 100; ++i)
        queue.async([&fifo, i] { fifo.push_back(i); });
    queue.sync([] {});
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(fifo[static_cast<std::size_t>(i)], i);
    EXPECT_NE(queue.sync([] { return std::this_thread::get_id(); }), std::this_thread::get_id());
    // What a job returns or throws comes back to the caller of sync, even from a nested one.
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(queue.sync([&] { return queue.sync([] { return 7; }); }), 7);
}

// A background job that throws is logged and the queue goes on; work given
// to a finished queue is refused at once instead of vanishing or hanging.
TEST(SerialQueue, failuresAreLoggedAndWorkAfterTheEndIsRefusedAtOnce)
{
    SerialQueue queue("tallyglass.test.queue");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(queue.async([] { throw std::runtime_error("disk gone"); }));
    EXPECT_EQ(queue.sync([] { return 1; }), 1);
    queue.finish();
    EXPECT_FALSE(queue.async([] {}));
    EXPECT_THROW(queue.sync([] { return 2; }), SerialQueue::QueueFinished);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] tallyglass.test.queue: a job failed: disk gone\n"
              "[tallyglass] tallyglass.test.queue: work given after the queue finished was not run\n"
              "[tallyglass] tallyglass.test.queue: work given after the queue finished was not run\n");
}

TEST(SerialQueue, theTimerTicksOnTheQueueUntilStopped)
{
    SerialQueue queue("tallyglass.test.queue");
    std::atomic<int> ticks{0};
    std::atomic<bool> onQueue{true};
    queue.startTimer(std::chrono::milliseconds(5), [&] {
        onQueue = onQueue && queue.isCurrent();
        ++ticks;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ticks < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GE(ticks.load(), 3);
    EXPECT_TRUE(onQueue);
    queue.stopTimer();
    queue.sync([] {});
    const int stoppedAt = ticks;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(ticks.load(), stoppedAt);
}

} // namespace
} // namespace tallyglass
