#include "core/ReadAhead.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>

// Items are worked on in parallel and taken in order; a consumer that stops
// early is never left waiting on a worker, nor a worker on the consumer.
namespace tallyglass {
namespace {

TEST(ReadAheadTest, piecesAreTakenInTheItemsOrderWhateverOrderTheyAreDoneIn)
{
    std::promise<void> secondDone;
    std::shared_future<void> secondDoneFuture = secondDone.get_future().share();
    ReadAhead<std::string> ahead(3, 2, 8, 4, [&](std::size_t, std::size_t index, const ReadAhead<std::string>::Emit& emit) {
        if (index == 0)
            secondDoneFuture.wait(); // the first item ends only after the second
        emit(std::to_string(index) + "a");
        emit(std::to_string(index) + "b");
        if (index == 1)
            secondDone.set_value();
    });
    std::vector<std::string> taken;
    for (std::size_t i = 0; i < 3; ++i) {
        while (auto piece = ahead.next(i))
            taken.push_back(*piece);
    }
    EXPECT_EQ(taken, (std::vector<std::string>{"0a", "0b", "1a", "1b", "2a", "2b"}));
}

TEST(ReadAheadTest, aFailureComesOutWhereItsItemIsTakenAndStoppingEndsWorkThatWaits)
{
    std::promise<bool> refused;
    {
        ReadAhead<int> ahead(2, 2, 8, 2, [&](std::size_t, std::size_t index, const ReadAhead<int>::Emit& emit) {
            if (index == 1)
                throw std::runtime_error("unreadable");
            bool goOn = true;
            for (int i = 0; goOn && i < 100; ++i)
                goOn = emit(int{i}); // waits once two are untaken
            refused.set_value(!goOn);
        });
        EXPECT_EQ(ahead.next(0), 0);
        // Leaves item 0 with pieces untaken and its worker waiting to hand on more.
    }
    EXPECT_TRUE(refused.get_future().get());

    ReadAhead<int> failing(1, 1, 1, 1, [](std::size_t, std::size_t, const ReadAhead<int>::Emit&) {
        throw std::runtime_error("unreadable");
    });
    EXPECT_THROW(failing.next(0), std::runtime_error);
}

} // namespace
} // namespace tallyglass
