#include "overlay/DataRefresher.h"

#include "support/ManualClock.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

void touch(const std::filesystem::path& path, const std::string& text = "x")
{
    std::ofstream(path, std::ios::app) << text;
}

// Real files and real inotify; the time is the test's own. The test waits for
// the refresher to have taken in each file event before it moves the clock.
class DataRefresherTest : public ::testing::Test {
protected:
    void SetUp() override { test::qtApp(); }

    // A refresher that counts its calls and the events it took in; given a database, it is watching it on return.
    void start(std::chrono::milliseconds debounce, std::chrono::milliseconds tick = 60s)
    {
        DataRefresher::Timing timing{debounce, tick};
        timing.now = clock.function();
        timing.onFileEvent = [this](bool changed) {
            changes += changed ? 1 : 0;
            ++events;
        };
        refresher = std::make_unique<DataRefresher>(db, timing);
        refresher->setOnChange([this] { ++calls; });
        refresher->start();
        refresher->timeMoved(); // returns once the refresher has begun, on the clock as it stands
        ASSERT_EQ(refresher->watchedFiles().size(), std::filesystem::exists(db) ? 1u : 0u);
    }

    // Moves the clock on and returns how many calls that brought.
    int callsAfter(std::chrono::milliseconds step)
    {
        const int before = calls;
        clock.advance(step);
        refresher->timeMoved();
        QCoreApplication::sendPostedEvents(); // the calls now due are already posted to this thread
        return calls - before;
    }

    test::ManualClock clock;
    std::filesystem::path dir = test::freshDirectory();
    std::filesystem::path db = dir / "app.db";
    int calls = 0;
    std::atomic<int> changes{0}; // file events that found the content changed
    std::atomic<int> events{0};  // every file event
    std::unique_ptr<DataRefresher> refresher;
};

TEST_F(DataRefresherTest, aBurstOfWritesGivesOneCallAfterItSettles)
{
    touch(db);
    start(300ms);
    // Three writes 100 ms apart: each comes before the debounce is over, which starts again.
    for (int write = 1; write <= 3; ++write) {
        touch(db);
        ASSERT_TRUE(test::waitUntil([&] { return changes == write; }));
        EXPECT_EQ(callsAfter(100ms), 0);
    }
    EXPECT_EQ(callsAfter(199ms), 0);
    EXPECT_EQ(callsAfter(1ms), 1); // 300 ms after the last write
    EXPECT_EQ(callsAfter(30s), 0);
}

// Opening the database can change the log file's owner (SQLite as root); a
// reload answering that would open it again, endlessly.
TEST_F(DataRefresherTest, attributeChangesAloneGiveNoCallButARewriteInPlaceDoes)
{
    touch(db, "abcd");
    start(100ms);
    std::filesystem::permissions(db, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    ASSERT_TRUE(test::waitUntil([&] { return events >= 1; }));
    EXPECT_EQ(callsAfter(500ms), 0);
    const auto before = std::filesystem::last_write_time(db);
    std::fstream(db, std::ios::in | std::ios::out) << "dcba"; // same size, new content
    std::filesystem::last_write_time(db, before + 1s);          // whatever the file system's clock step
    ASSERT_TRUE(test::waitUntil([&] { return changes >= 1; }));
    EXPECT_EQ(callsAfter(800ms), 1);
}

TEST_F(DataRefresherTest, theTickCallsWithoutAFileAndAttachesFilesThatAppear)
{
    start(100ms, 400ms);
    for (int tick = 0; tick < 3; ++tick)
        EXPECT_EQ(callsAfter(400ms), 1); // nothing to watch, still called every tick
    EXPECT_TRUE(refresher->watchedFiles().empty());

    touch(db);
    touch(dir / "app.db-wal");
    EXPECT_EQ(callsAfter(400ms), 1);
    EXPECT_EQ(refresher->watchedFiles().size(), 2u);
}

TEST_F(DataRefresherTest, aFileDeletedAndCreatedAgainIsWatchedAgain)
{
    touch(db);
    start(100ms);
    std::filesystem::remove(db);
    ASSERT_TRUE(test::waitUntil([&] { return refresher->watchedFiles().empty(); })); // the deletion was taken in
    touch(db);
    callsAfter(100ms); // the deletion's call, which takes up the new file
    const int seen = changes;
    touch(db); // only a fresh watch on the new file sees this
    ASSERT_TRUE(test::waitUntil([&] { return changes > seen; }));
    EXPECT_GE(callsAfter(100ms), 1);
}

TEST_F(DataRefresherTest, nothingIsDeliveredOnceTheRefresherIsGone)
{
    touch(db);
    start(200ms);
    touch(db);
    ASSERT_TRUE(test::waitUntil([&] { return changes == 1; }));
    clock.advance(200ms);
    refresher->timeMoved(); // its call is on its way to this thread when the refresher goes
    refresher.reset();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(calls, 0);
}

} // namespace
} // namespace tallyglass
