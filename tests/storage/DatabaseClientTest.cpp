#include "storage/DatabaseClient.h"
#include "storage/WriteDatabaseSupport.h"
#include "storage/MockDatabase.h"
#include "storage/WriteDatabase.h"

#include "support/Instants.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

constexpr auto at = &test::t;

class DatabaseClientTest : public ::testing::Test {
protected:
    std::filesystem::path path = test::freshDirectory() / "app.db";

    void store(std::vector<MessageInsert> messages)
    {
        WriteDatabase(path).insertMessages(messages);
    }
    static MessageInsert message(std::string id, std::string timestamp, std::optional<std::string> model = "claude-opus-4-6",
                                 std::string role = "assistant")
    {
        // 1 input token, 2 output, 3 written to the cache (none for an hour) and 4 read from it; not a subagent's.
        return {std::move(id), "S", std::move(timestamp), std::move(role), std::move(model), 1, 2, 3, 4, false, 0, {}, false, {}};
    }
};

// A file written before times were checked may hold any year. A message whose
// time cannot be, for the client's now (here noon on 2026-12-07), is left out
// of every read and counted, whatever its offset; the rest reads as ever.
TEST_F(DatabaseClientTest, messagesWithImpossibleTimesAreLeftOutOfEveryReadAndCounted)
{
    store({message("year1", "0001-01-01T00:00:00Z"), message("early", "1999-12-31T23:59:59.999Z"),
           message("earlyByItsOffset", "2000-01-01T00:00:00+14:00"), message("first", "2000-01-01T00:00:00Z"),
           message("lastMonth", "2026-11-07T12:00:00Z"), message("last", "2026-12-09T02:00:00+14:00"),
           message("ahead", "2026-12-08T12:00:01Z"), message("aheadByItsOffset", "2026-12-08T00:00:00.5-12:00"),
           message("year9999", "9999-12-31T23:59:59Z")});
    DatabaseClient client(path, [] { return at("2026-12-07T12:00:00Z"); });
    const std::vector<Instant> possible = {at("2000-01-01T00:00:00Z"), at("2026-11-07T12:00:00Z"), at("2026-12-08T12:00:00Z")};
    const auto times = [](const auto& rows) {
        std::vector<Instant> found;
        for (const auto& row : rows)
            found.push_back(row.timestamp);
        return found;
    };
    EXPECT_EQ(times(client.fetchAllMessages()), possible);
    EXPECT_EQ(times(client.fetchMessagesAround(at("1970-01-01T00:00:00Z"), at("9999-12-31T00:00:00Z"))), possible);
    EXPECT_EQ(times(client.fetchMessagesInWindow(at("0001-01-01T00:00:00Z"), at("9999-12-31T23:59:59.999Z"))), possible);
    EXPECT_EQ(client.fetchLatestMessageTime(), at("2026-12-08T12:00:00Z"));
    EXPECT_EQ(client.fetchImpossibleTimeCount(), 6);
}

TEST_F(DatabaseClientTest, withoutAFileEveryCallFailsToOpenAndCreatesNothing)
{
    DatabaseClient client(path);
    const std::vector<std::function<void()>> calls = {
        [&] { client.fetchUsageLimits(); },
        [&] { client.hasAnyMessages(); },
        [&] { client.fetchMessagesInWindow(Instant{}, Instant{}); },
        [&] { client.fetchActiveSessionCount(); },
        [&] { client.fetchAllMessages(); },
    };
    for (const auto& call : calls) {
        try {
            call();
            ADD_FAILURE() << "expected cannotOpen";
        } catch (const DBError& error) {
            EXPECT_EQ(error.kind(), DBError::Kind::cannotOpen) << error.description();
            EXPECT_EQ(error.description().rfind("DB open failed: ", 0), 0u); // the report window's error line
        }
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(DatabaseClientTest, anEmptyFileAnswersWithoutErrorAndUsageLimitsReadBackWithEitherTimestampForm)
{
    WriteDatabase writer(path);
    DatabaseClient client(path);
    EXPECT_FALSE(client.hasAnyMessages());
    EXPECT_EQ(client.fetchActiveSessionCount(), 0);
    EXPECT_EQ(client.fetchUsageLimits(), std::nullopt);
    writer.setSessionActive("a", true);
    writer.setSessionActive("b", true);
    writer.setSessionActive("c", false);
    EXPECT_EQ(client.fetchActiveSessionCount(), 2);
    EXPECT_TRUE(client.fetchAllMessages().empty());

    writer.upsertRateLimits({}, {12.5, "2025-01-07T00:00:00Z"}, at("2025-01-15T10:30:00Z"));
    EXPECT_EQ(client.fetchUsageLimits(),
              (UsageLimits{std::nullopt, std::nullopt, 12.5, at("2025-01-07T00:00:00Z"), at("2025-01-15T10:30:00Z")}));
    test::SqlProbe(path).exec("UPDATE usage_limits SET fetched_at = '2025-01-15T10:30:00.250Z', five_hour_resets_at = 'soon'");
    EXPECT_EQ(client.fetchUsageLimits(),
              (UsageLimits{std::nullopt, std::nullopt, 12.5, at("2025-01-07T00:00:00Z"), at("2025-01-15T10:30:00.250Z")}));
}

TEST_F(DatabaseClientTest, theWindowIsHalfOpenAndHoldsOnlyAssistantMessages)
{
    store({message("before", "2025-01-15T09:59:59.999Z"), message("start", "2025-01-15T10:00:00.000Z"),
           message("plain", "2025-01-15T12:00:00Z", std::nullopt), message("user", "2025-01-15T12:00:01Z", "m", "user"),
           message("end", "2025-01-15T15:00:00.000Z"), message("bad", "2025-01-15T12:00:00 garbage")});
    DatabaseClient client(path);
    const auto rows = client.fetchMessagesInWindow(at("2025-01-15T10:00:00Z"), at("2025-01-15T15:00:00Z"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (MessageRow{at("2025-01-15T10:00:00Z"), "claude-opus-4-6", 1, 2}));
    EXPECT_EQ(rows[1], (MessageRow{at("2025-01-15T12:00:00Z"), std::nullopt, 1, 2}));
}

TEST_F(DatabaseClientTest, allMessagesComeOldestFirstWithEmptyTextForNull)
{
    auto sub = message("b", "2025-01-15T08:00:00Z", std::nullopt);
    sub.isSubagent = true;
    store({message("a", "2025-01-15T09:00:00Z"), sub, message("u", "2025-01-15T07:00:00Z", "m", "user")});
    DatabaseClient client(path);
    const auto all = client.fetchAllMessages();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], (DashboardMessage{at("2025-01-15T08:00:00Z"), "S", "", 1, 2, 3, 4, true, 0.0, WriteDatabaseSupport::hostName()}));
    EXPECT_EQ(all[1].model, "claude-opus-4-6");
    EXPECT_DOUBLE_EQ(all[1].cost, (1 * 5 + 2 * 25 + 3 * 6.25 + 4 * 0.5) / 1e6);
    // Rows of one session share one text.
    EXPECT_EQ(all[0].sessionId.identity(), all[1].sessionId.identity());
    EXPECT_TRUE(client.hasAnyMessages());
}

// The newest message is a moment, not the greatest text: a time written with an
// offset can read later than one that is later in fact. User messages and texts
// that are no time do not count.
TEST_F(DatabaseClientTest, theLatestMessageTimeIsTheLatestMomentWhateverTheOffset)
{
    WriteDatabase writer(path); // the file, with no message yet
    EXPECT_EQ(DatabaseClient(path).fetchLatestMessageTime(), std::nullopt);
    store({message("east", "2025-01-16T01:00:00+05:00"), message("utc", "2025-01-15T21:00:00.500Z"),
           message("old", "2025-01-10T08:00:00Z"), message("user", "2025-01-15T23:00:00Z", "m", "user")});
    EXPECT_EQ(DatabaseClient(path).fetchLatestMessageTime(), at("2025-01-15T21:00:00.500Z"));
    store({message("bad", "2025-01-17 garbage")}); // the greatest text of all
    EXPECT_EQ(DatabaseClient(path).fetchLatestMessageTime(), at("2025-01-15T21:00:00.500Z"));
    // Texts in Z are read newest first only so far: one with an offset sorting below them is still later.
    store({message("west", "2025-01-15T20:00:00-02:00"), message("utc2", "2025-01-15T21:30:00Z")});
    EXPECT_EQ(DatabaseClient(path).fetchLatestMessageTime(), at("2025-01-15T22:00:00Z"));
    // Within one second a text with a fraction sorts below the whole second and is later.
    store({message("whole", "2025-01-15T23:00:00Z"), message("fraction", "2025-01-15T23:00:00.250Z")});
    EXPECT_EQ(DatabaseClient(path).fetchLatestMessageTime(), at("2025-01-15T23:00:00.250Z"));
}

// What lets an open report skip reading a long history again when nothing was stored.
TEST_F(DatabaseClientTest, theChangeTokenMovesWithEveryWriteAndWithAReplacedFile)
{
    auto writer = std::make_unique<WriteDatabase>(path);
    writer->waitForRepricing(); // its opening look at the prices may leave a mark
    DatabaseClient client(path);
    const auto first = client.changeToken();
    ASSERT_TRUE(first.has_value());
    client.fetchAllMessages();
    EXPECT_EQ(client.changeToken(), first); // reading changes nothing
    writer->insertMessages({message("a", "2025-01-15T12:00:00Z")});
    const auto second = client.changeToken();
    EXPECT_NE(second, first);
    writer->upsertRateLimits({42.0, std::nullopt}, {std::nullopt, std::nullopt}, at("2025-01-15T12:00:00Z"));
    const auto third = client.changeToken();
    EXPECT_NE(third, second);

    // A fresh file in the old one's place (a damaged one set aside, with its log) is a change too.
    writer.reset();
    for (const char* suffix : {"", "-wal", "-shm"})
        if (std::filesystem::exists(path.string() + suffix))
            std::filesystem::rename(path.string() + suffix, path.string() + ".old" + suffix);
    WriteDatabase(path).insertMessages({message("b", "2025-01-15T12:00:00Z")});
    EXPECT_NE(client.changeToken(), third);
    std::filesystem::remove(path);
    EXPECT_EQ(client.changeToken(), std::nullopt);
}

// The stand-in other tests read through: it must keep to the window's bounds,
// or those tests would pass on what a real file never gives. (That it fails as
// told, the view models' tests of a failed read show.)
TEST(MockDatabase, keepsToTheHalfOpenWindow)
{
    MockDatabase mock;
    mock.messages = {{at("2025-01-15T10:00:00Z"), "a", 1, 1}, {at("2025-01-15T15:00:00Z"), "b", 1, 1}};
    EXPECT_EQ(mock.fetchMessagesInWindow(at("2025-01-15T10:00:00Z"), at("2025-01-15T15:00:00Z")).size(), 1u);
}

} // namespace
} // namespace tallyglass
