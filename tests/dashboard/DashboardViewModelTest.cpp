#include "dashboard/DashboardViewModel.h"

#include "core/UtcCalendar.h"
#include "dashboard/TerminalReport.h"
#include "storage/DBError.h"
#include "storage/DatabaseClient.h"
#include "storage/MockDatabase.h"
#include "storage/WriteDatabase.h"
#include "support/Instants.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::t;

DashboardMessage message(Instant at, const char* model, std::int64_t output = 100)
{
    return {at, "session-1", model, 1000, output, 10, 20, false, 0.02};
}

class DashboardViewModelTest : public ::testing::Test {
protected:
    void settle()
    {
        vm.load();
        ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    }

    QCoreApplication& app = test::qtApp(); // before the view model
    std::shared_ptr<MockDatabase> db = std::make_shared<MockDatabase>();
    Instant now = t("2025-01-15T12:00:00Z");
    DashboardViewModel vm{db, [this] { return now; }};
};

TEST_F(DashboardViewModelTest, theFirstDataSelectsSevenDaysAndChoicesSurviveReloadsAsTheWindowMoves)
{
    settle();
    EXPECT_EQ(vm.filters(), DashboardFilters{}); // the distant past to the distant future, 7d chosen

    db->dashboardMessages = {message(t("2024-12-01T10:00:00Z"), "claude-opus-4-6"), message(t("2025-01-15T09:00:00Z"), "claude-sonnet-4-6")};
    settle();
    EXPECT_EQ(vm.filters(), (DashboardFilters{t("2025-01-09T00:00:00Z"), t("2025-01-16T00:00:00Z"), {}, DatePreset::last7d, false}));
    EXPECT_EQ(vm.availableModels(), (std::vector<std::string>{"claude-opus-4-6", "claude-sonnet-4-6"}));
    EXPECT_EQ(vm.snapshot().totals.messageCount, 1);

    vm.setPreset(DatePreset::last90d);
    vm.toggleModels({"claude-opus-4-6"});
    ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    EXPECT_EQ(vm.snapshot().totals.messageCount, 1); // only the Opus message
    EXPECT_EQ(vm.snapshot().models.front().displayName, "Opus 4.6");

    now = t("2025-01-17T08:00:00Z");
    db->dashboardMessages.push_back(message(t("2025-01-17T07:00:00Z"), "claude-opus-4-6"));
    // A new identifier of the chosen name is chosen with it: the chip stands for the name.
    db->dashboardMessages.push_back(message(t("2025-01-17T07:30:00Z"), "claude-opus-4-6-20250116"));
    settle();
    // 90 days would reach back before the data: it starts on the data's first day.
    EXPECT_EQ(vm.filters(), (DashboardFilters{t("2024-12-01T00:00:00Z"), t("2025-01-18T00:00:00Z"),
                                              {"claude-opus-4-6", "claude-opus-4-6-20250116"}, DatePreset::last90d, false}));
    EXPECT_EQ(vm.snapshot().totals.messageCount, 3);
    // A chip whose identifiers are all chosen takes them all out again.
    vm.toggleModels({"claude-opus-4-6", "claude-opus-4-6-20250116"});
    ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    EXPECT_TRUE(vm.filters().models.empty());
    EXPECT_EQ(vm.snapshot().totals.messageCount, 4);
}

// A machine chosen narrows every figure, the five-hour block going on (which
// stands in for limits never read) excepted; a machine that leaves the
// history, or is left alone in it, is no longer chosen.
TEST_F(DashboardViewModelTest, aChosenMachineNarrowsTheFiguresButNotTheBlockGoingOn)
{
    db->limits.reset();
    DashboardMessage box = message(t("2025-01-15T11:00:00Z"), "claude-opus-4-6", 500);
    box.machine = "buildbox";
    db->dashboardMessages = {message(t("2025-01-15T10:00:00Z"), "claude-sonnet-4-6"), box};
    db->dashboardMessages[0].machine = "laptop";
    settle();
    EXPECT_EQ(vm.availableMachines(), (std::vector<std::string>{"buildbox", "laptop"}));
    vm.toggleMachine("laptop");
    ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    EXPECT_EQ(vm.snapshot().totals.messageCount, 1);
    EXPECT_EQ(vm.snapshot().totals.output, 100);
    ASSERT_TRUE(vm.snapshot().activeBlock);
    EXPECT_EQ(vm.snapshot().activeBlock->figures.messages, 2);

    db->dashboardMessages.pop_back(); // only the laptop is left
    settle();
    EXPECT_TRUE(vm.filters().machines.empty());
    vm.toggleMachine("laptop");
    vm.toggleMachine("laptop");
    ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    EXPECT_TRUE(vm.filters().machines.empty());
}

TEST_F(DashboardViewModelTest, aFailedLoadKeepsTheFiguresAndSaysWhy)
{
    db->dashboardMessages = {message(t("2025-01-15T09:00:00Z"), "claude-opus-4-6")};
    settle();
    const ReportSnapshot* before = &vm.snapshot();
    db->throwOnFetch = std::make_exception_ptr(DBError(DBError::Kind::stepFailed, "disk I/O error"));
    settle();
    EXPECT_NE(vm.lastError().value_or("").find("disk I/O error"), std::string::npos);
    EXPECT_EQ(vm.allMessages().size(), 1u);
    EXPECT_EQ(&vm.snapshot(), before);
    db->throwOnFetch = nullptr;
    settle();
    EXPECT_FALSE(vm.lastError().has_value());
}

// A long history is read again only when something was stored since.
TEST_F(DashboardViewModelTest, nothingIsReadWhenNothingChangedAndALoadWhileOneRunsIsDropped)
{
    db->dashboardMessages = {message(t("2025-01-15T09:00:00Z"), "claude-opus-4-6")};
    db->version = 1;
    vm.load();
    vm.load(); // still loading: dropped
    ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    EXPECT_EQ(db->allMessageFetches, 1);
    settle();
    EXPECT_EQ(db->allMessageFetches, 1);
    db->version = 2;
    db->dashboardMessages.push_back(message(t("2025-01-15T10:00:00Z"), "claude-opus-4-6"));
    settle();
    EXPECT_EQ(db->allMessageFetches, 2);
    EXPECT_EQ(vm.snapshot().totals.messageCount, 2);
}

TEST_F(DashboardViewModelTest, theFiguresAreTheTerminalReportsForTheSameDays)
{
    for (int day = 0; day < 40; ++day)
        db->dashboardMessages.push_back(message(UtcCalendar::addDays(t("2024-12-07T10:00:00Z"), day), day % 3 ? "claude-sonnet-4-6" : "fable-1", day * 10));
    // Rate-limit readings of one five-hour window in the days shown: its peak goes with the figures.
    for (const double used : {40.0, 100.0})
        db->limitReadings.push_back({t("2025-01-10T10:00:00Z"), used, t("2025-01-10T14:00:00Z"), std::nullopt, std::nullopt});
    settle();
    vm.setPreset(DatePreset::last30d);
    ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
    const Instant today = UtcCalendar::startOfDay(now);
    const auto report = TerminalReport::build(db->dashboardMessages, {}, std::nullopt,
                                              {UtcCalendar::addDays(today, -29), UtcCalendar::addDays(today, 1), "", {}, false, 10});
    EXPECT_EQ(vm.snapshot().totals, report.totals);
    EXPECT_EQ(vm.snapshot().unpriced, report.unpriced);
    ASSERT_EQ(vm.snapshot().limitWindows.size(), 1u);
    EXPECT_TRUE(vm.snapshot().limitWindows[0].reached);
    ASSERT_EQ(vm.snapshot().modelCosts.size(), report.models.size());
    for (const auto& model : vm.snapshot().modelCosts) {
        const auto same = std::find_if(report.models.begin(), report.models.end(), [&](const auto& m) { return m.name == model.displayName; });
        ASSERT_NE(same, report.models.end()) << model.displayName;
        EXPECT_DOUBLE_EQ(same->figures.cost, model.cost);
        EXPECT_EQ(same->figures.output, model.output);
    }
}

// A reload after a write reads only what was stored since (HistorySinceTest
// checks the messages); the models, days and figures made from them are those
// of a window that read the whole history.
TEST(DashboardViewModelReloadTest, aReloadAfterAWriteShowsWhatAWholeReadShows)
{
    test::qtApp(); // before the view models
    const auto stored = [](const char* id, const char* at, const char* model, std::int64_t output = 100) {
        return MessageInsert{id, "session-1", at, "assistant", model, 1000, output, 10, 20, false, 0, {}, false, {}};
    };
    const std::vector<std::pair<const char*, MessageInsert>> writes = {
        {"a newer message of a model new to the history", stored("new", "2025-01-15T11:00:00Z", "claude-sonnet-4-6")},
        {"a message before the first one held", stored("first", "2025-01-02T09:00:00Z", "claude-haiku-4-5")},
        {"a repeat with a larger count", stored("m2", "2025-01-14T09:00:00Z", "claude-opus-4-6", 5000)},
    };
    const Instant now = t("2025-01-15T12:00:00Z");
    for (const auto& [what, write] : writes) {
        SCOPED_TRACE(what);
        const auto path = test::freshDirectory() / "app.db";
        WriteDatabase writer(path);
        writer.insertMessages({stored("m1", "2025-01-10T09:00:00Z", "claude-opus-4-6"), stored("m2", "2025-01-14T09:00:00Z", "claude-opus-4-6")});
        const auto settled = [](DashboardViewModel& vm) {
            vm.load();
            return test::waitUntil([&] { return !vm.isBusy(); });
        };
        DashboardViewModel reloaded(std::make_shared<DatabaseClient>(path), [&] { return now; });
        reloaded.load();
        // The figures of the first load may still be added up while the second one adds to the history.
        ASSERT_TRUE(test::waitUntil([&] { return !reloaded.isLoading(); }));
        writer.insertMessages({write});
        ASSERT_TRUE(settled(reloaded));
        DashboardViewModel whole(std::make_shared<DatabaseClient>(path), [&] { return now; });
        ASSERT_TRUE(settled(whole));

        EXPECT_EQ(reloaded.availableModels(), whole.availableModels());
        EXPECT_EQ(reloaded.filters(), whole.filters());
        const ReportSnapshot& a = reloaded.snapshot();
        const ReportSnapshot& b = whole.snapshot();
        EXPECT_EQ(a.totals, b.totals);
        EXPECT_EQ(a.days, b.days);
        EXPECT_EQ(a.cells, b.cells);
        EXPECT_EQ(a.models, b.models);
        EXPECT_EQ(a.sessions, b.sessions);
    }
}

} // namespace
} // namespace tallyglass
