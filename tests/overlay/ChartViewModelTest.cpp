#include "overlay/ChartViewModel.h"

#include "capture/ImportService.h"
#include "support/Instants.h"
#include "storage/DBError.h"
#include "storage/MockDatabase.h"
#include "support/ChartReload.h"
#include "support/QtTestApp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace tallyglass {
namespace {

using test::t;

// An import that reports the progress it is told to, then succeeds or fails.
class ScriptedScan final : public ScanRunning {
public:
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    std::optional<std::string> failure;
    std::atomic<int> runs{0};

    std::int64_t scanAll(const Progress& progress) override
    {
        ++runs;
        for (const auto& [done, total] : reports)
            progress(done, total);
        if (failure)
            throw std::runtime_error(*failure);
        return 0;
    }
};

class ChartViewModelTest : public ::testing::Test {
protected:
    QCoreApplication& app = test::qtApp(); // before the view model, whose timer needs it
    std::shared_ptr<MockDatabase> db = std::make_shared<MockDatabase>();
    std::shared_ptr<ScriptedScan> scan = std::make_shared<ScriptedScan>();
    ImportService imports{scan};
    Instant now = t("2025-01-15T12:00:00Z");
    ChartViewModel vm{db, &imports, [this] { return now; }};
    const MessageRow recent{t("2025-01-15T11:30:00Z"), "claude-opus-4-6", 10, 20};
};

TEST_F(ChartViewModelTest, reloadChoosesTheWindowFromWhatIsStored)
{
    // Nothing stored: empty, and no messages are read.
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.state(), UsageState{});

    // Messages but no reset time: the window ends now.
    db->messages = {recent};
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.state(), UsageState::partial(now, {recent}));

    // A reset time, even one in the past, anchors a full window with its utilisation.
    db->limits = UsageLimits{42.0, t("2025-01-15T09:00:00Z"), std::nullopt, std::nullopt, std::nullopt};
    db->activeSessionCount = 3;
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.state(), UsageState::full(t("2025-01-15T09:00:00Z"), 42.0, {}));
    EXPECT_EQ(vm.activeSessionCount(), 3);

    // With the window's readings, its pace: 30 points in the 50 minutes to the current row's, 40 more by 12:56:40.
    db->limits = UsageLimits{60.0, t("2025-01-15T14:00:00Z"), std::nullopt, std::nullopt, t("2025-01-15T11:50:00Z")};
    db->limitReadings = {{t("2025-01-15T11:00:00Z"), 30.0, t("2025-01-15T14:00:00Z"), std::nullopt, std::nullopt}};
    ASSERT_TRUE(test::reloadAndWait(vm));
    ASSERT_TRUE(vm.state().pace);
    EXPECT_EQ(vm.state().pace->reachesLimitAt, t("2025-01-15T12:56:40Z"));
}

// The refresher asks every few seconds whether or not anything was stored:
// a window that ends at a known reset time is read again only when the
// database says something changed; one that ends now follows the clock.
TEST_F(ChartViewModelTest, aReloadReadsTheWindowAgainOnlyWhenSomethingWasStoredOrItFollowsTheClock)
{
    db->messages = {recent};
    db->limits = UsageLimits{42.0, t("2025-01-15T14:00:00Z"), std::nullopt, std::nullopt, std::nullopt};
    db->version = 1;
    ASSERT_TRUE(test::reloadAndWait(vm));
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(db->windowFetches, 1);
    EXPECT_EQ(vm.state(), UsageState::full(t("2025-01-15T14:00:00Z"), 42.0, {recent}));

    db->limits->fiveHourUtilization = 50.0;
    db->version = 2;
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(db->windowFetches, 2);
    EXPECT_EQ(vm.state(), UsageState::full(t("2025-01-15T14:00:00Z"), 50.0, {recent}));

    // A failed read is no known state: the next one reads, and clears the error.
    db->throwOnFetch = std::make_exception_ptr(DBError(DBError::Kind::stepFailed, "disk I/O error"));
    ASSERT_TRUE(test::reloadAndWait(vm));
    db->throwOnFetch = nullptr;
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(db->windowFetches, 3);
    EXPECT_EQ(vm.lastError(), std::nullopt);

    db->limits.reset();
    db->version = 3;
    ASSERT_TRUE(test::reloadAndWait(vm));
    now += std::chrono::minutes(1);
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(db->windowFetches, 5);
    EXPECT_EQ(vm.state(), UsageState::partial(now, {recent}));
}

// Reads that wait at the door until the test lets them in, counted as they come.
class HeldDatabase final : public UsageDatabase {
public:
    MockDatabase stored;
    std::atomic<int> reads{0};

    void letIn()
    {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

    std::optional<UsageLimits> fetchUsageLimits() override { return stored.fetchUsageLimits(); }
    bool hasAnyMessages() override { return stored.hasAnyMessages(); }
    std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) override { return stored.fetchMessagesInWindow(from, to); }
    // The last thing a reload reads: it waits there, its look at the messages taken.
    std::int64_t fetchActiveSessionCount() override
    {
        ++reads;
        std::unique_lock lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
        return stored.fetchActiveSessionCount();
    }
    std::vector<DashboardMessage> fetchAllMessages() override { return stored.fetchAllMessages(); }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// A change noticed while a read runs may not be in that read: it is read
// once more afterwards, however often it was asked for, and never dropped.
TEST_F(ChartViewModelTest, reloadsAskedForWhileOneRunsAreReadOnceAfterIt)
{
    auto held = std::make_shared<HeldDatabase>();
    auto model = std::make_unique<ChartViewModel>(held, nullptr, [this] { return now; });
    const std::unique_ptr<HeldDatabase, void (*)(HeldDatabase*)> letInAtTheEnd(held.get(), [](HeldDatabase* gated) { gated->letIn(); });
    int published = 0;
    QObject::connect(model.get(), &ChartViewModel::reloaded, [&] { ++published; });

    model->reload();
    ASSERT_TRUE(test::waitUntil([&] { return held->reads == 1; }));
    held->stored.messages = {recent}; // stored after the running read looked for messages
    model->reload();
    model->reload();
    held->letIn();
    ASSERT_TRUE(test::waitUntil([&] { return published >= 2; }));
    EXPECT_EQ(model->state(), UsageState::partial(now, {recent}));
    model.reset(); // runs whatever was still queued
    EXPECT_EQ(held->reads, 2);
}

TEST_F(ChartViewModelTest, aMissingDatabaseIsTheEmptyStateButOtherFailuresKeepTheChartAndSayWhy)
{
    db->messages = {recent};
    ASSERT_TRUE(test::reloadAndWait(vm));
    const UsageState shown = vm.state();
    int errorSignals = 0;
    QObject::connect(&vm, &ChartViewModel::lastErrorChanged, [&] { ++errorSignals; });

    db->throwOnFetch = std::make_exception_ptr(DBError(DBError::Kind::stepFailed, "disk I/O error"));
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.state(), shown);
    EXPECT_EQ(vm.lastError(), "DB step failed: disk I/O error");

    db->throwOnFetch = std::make_exception_ptr(DBError(DBError::Kind::cannotOpen, "unable to open database file"));
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.state(), UsageState{});
    EXPECT_EQ(vm.lastError(), std::nullopt);

    db->throwOnFetch = nullptr;
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.lastError(), std::nullopt);
    EXPECT_EQ(errorSignals, 2);

    // Storing what is captured fails: said until it works again, after a failing read.
    vm.setStoreProblem("database or disk is full");
    EXPECT_EQ(vm.lastError(), "Storing fails: database or disk is full");
    vm.setStoreProblem(std::nullopt);
    EXPECT_EQ(vm.lastError(), std::nullopt);
    EXPECT_EQ(errorSignals, 4);
}

TEST_F(ChartViewModelTest, anImportPublishesItsProgressHereThenReloads)
{
    scan->reports = {{0, 4}, {1, 4}, {3, 4}, {4, 4}};
    db->messages = {recent};
    std::vector<ScanProgress> seen;
    QObject::connect(&vm, &ChartViewModel::scanProgressChanged, [&] { seen.push_back(vm.scanProgress()); });
    std::optional<bool> finished;
    QObject::connect(&vm, &ChartViewModel::scanFinished, [&](bool ok) { finished = ok; });
    vm.scanProjects();
    vm.scanProjects(); // while one runs: nothing more
    ASSERT_TRUE(test::waitUntil([&] { return finished.has_value(); }));
    EXPECT_TRUE(*finished);
    EXPECT_EQ(scan->runs, 1);
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen.front(), ScanProgress::running(0));
    EXPECT_EQ(seen.back(), ScanProgress{});
    EXPECT_TRUE(test::waitUntil([&] { return vm.state().kind == UsageState::Kind::partial; })); // reloaded after the import
    // Progress only climbs, and 3 of 4 files is 75%.
    EXPECT_NE(std::find(seen.begin(), seen.end(), ScanProgress::running(75)), seen.end());

    // No files at all is 100% (not a division by zero); a failure after it ends the import with its reason.
    scan->reports = {{0, 0}};
    scan->failure = "database is locked";
    seen.clear();
    finished.reset();
    vm.scanProjects();
    ASSERT_TRUE(test::waitUntil([&] { return finished.has_value(); }));
    EXPECT_NE(std::find(seen.begin(), seen.end(), ScanProgress::running(100)), seen.end());
    EXPECT_FALSE(*finished);
    EXPECT_EQ(vm.scanProgress(), ScanProgress::failed("database is locked"));
}

TEST_F(ChartViewModelTest, theTickFollowsTheInjectedClock)
{
    int ticks = 0;
    QObject::connect(&vm, &ChartViewModel::nowTickChanged, [&] { ++ticks; });
    db->limits = UsageLimits{10.0, t("2025-01-15T14:05:00Z"), std::nullopt, std::nullopt, std::nullopt};
    ASSERT_TRUE(test::reloadAndWait(vm));
    EXPECT_EQ(vm.resetCountdownText(), "2hr 5m");
    now += std::chrono::minutes(65);
    vm.tick();
    EXPECT_EQ(vm.resetCountdownText(), "1hr 0m");
    EXPECT_EQ(ticks, 1);
}

} // namespace
} // namespace tallyglass
