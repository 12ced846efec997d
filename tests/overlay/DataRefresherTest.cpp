#include "overlay/DataRefresher.h"

#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

void touch(const std::filesystem::path& path, const std::string& text = "x")
{
    std::ofstream(path, std::ios::app) << text;
}

// Real files and real inotify; counts are checked within generous windows.
class DataRefresherTest : public ::testing::Test {
protected:
    void SetUp() override { test::qtApp(); }

    // A refresher that counts its calls; given a database, it is watching it on return.
    void start(std::chrono::milliseconds debounce, std::chrono::milliseconds tick = 60s)
    {
        refresher = std::make_unique<DataRefresher>(db, DataRefresher::Timing{debounce, tick});
        refresher->setOnChange([this] { ++calls; });
        refresher->start();
        if (std::filesystem::exists(db)) {
            ASSERT_TRUE(test::waitUntil([&] { return refresher->watchedFiles().size() == 1; }, 5s));
        }
    }

    // Runs the event loop for a while and returns how many calls came.
    int callsDuring(std::chrono::milliseconds span)
    {
        const int before = calls;
        test::waitUntil([] { return false; }, span);
        return calls - before;
    }

    std::filesystem::path dir = test::freshDirectory();
    std::filesystem::path db = dir / "app.db";
    int calls = 0;
    std::unique_ptr<DataRefresher> refresher;
};

TEST_F(DataRefresherTest, aBurstOfWritesGivesOneCallAfterItSettles)
{
    touch(db);
    start(300ms);
    for (int i = 0; i < 10; ++i)
        touch(db);
    EXPECT_EQ(callsDuring(1500ms), 1);
    EXPECT_EQ(callsDuring(600ms), 0);
}

// Opening the database can change the log file's owner (SQLite as root); a
// reload answering that would open it again, endlessly.
TEST_F(DataRefresherTest, attributeChangesAloneGiveNoCallButARewriteInPlaceDoes)
{
    touch(db, "abcd");
    start(100ms);
    std::filesystem::permissions(db, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    EXPECT_EQ(callsDuring(500ms), 0);
    const auto before = std::filesystem::last_write_time(db);
    std::fstream(db, std::ios::in | std::ios::out) << "dcba"; // same size, new content
    std::filesystem::last_write_time(db, before + 1s);          // whatever the file system's clock step
    EXPECT_EQ(callsDuring(800ms), 1);
}

TEST_F(DataRefresherTest, theTickCallsWithoutAFileAndAttachesFilesThatAppear)
{
    start(100ms, 400ms);
    EXPECT_GE(callsDuring(1300ms), 2); // nothing to watch, still called every tick
    EXPECT_TRUE(refresher->watchedFiles().empty());

    touch(db);
    touch(dir / "app.db-wal");
    ASSERT_TRUE(test::waitUntil([&] { return refresher->watchedFiles().size() == 2; }, 5s));
}

TEST_F(DataRefresherTest, aFileDeletedAndCreatedAgainIsWatchedAgain)
{
    touch(db);
    start(100ms);
    std::filesystem::remove(db);
    touch(db);
    callsDuring(500ms);
    touch(db); // only a fresh watch on the new file sees this
    EXPECT_GE(callsDuring(1000ms), 1);
}

TEST_F(DataRefresherTest, nothingIsDeliveredOnceTheRefresherIsGone)
{
    touch(db);
    start(200ms);
    touch(db); // its call is still pending when the refresher goes
    refresher.reset();
    EXPECT_EQ(callsDuring(600ms), 0);
}

} // namespace
} // namespace tallyglass
