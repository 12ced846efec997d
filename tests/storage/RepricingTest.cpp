#include "pricing/ModelPricingCatalog.h"
#include "pricing/PriceList.h"
#include "storage/DatabaseClient.h"
#include "storage/PriceCheck.h"
#include "storage/WriteDatabase.h"

#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::SqlProbe;

MessageInsert message(const std::string& id, const std::string& model)
{
    return {.messageId = id, .sessionId = "S", .timestamp = "2025-01-15T10:00:00Z", .role = "assistant", .model = model,
            .inputTokens = 100'000, .outputTokens = 1'000'000, .machine = {}, .project = {}};
}

class Repricing : public ::testing::Test {
protected:
    void TearDown() override { ModelPricingCatalog::use(nullptr); }

    static std::shared_ptr<const PriceList> userList(double fableInput)
    {
        return std::make_shared<const PriceList>(std::vector<PriceList::Entry>{
            {"claude-fable-5", {fableInput, 15, 3.75, 6, 0.3}, std::nullopt},
            {"claude-sonnet-4-5", {1, 1, 1, 1, 1}, std::nullopt}});
    }

    std::vector<std::string> costs()
    {
        return SqlProbe(path).rows("SELECT messageId || '|' || cost FROM messages ORDER BY messageId");
    }

    const std::filesystem::path path = test::freshDirectory() / "app.db";
};

// The user's list changing while the writer runs (the watcher calls
// priceAgain) prices every stored message with it, also after the list is
// taken away again; a list standing in for a file that could not be read
// leaves everything stored as it was, at once and at the next opening.
TEST_F(Repricing, storedCostsFollowTheListInUseAndABadFileChangesNothing)
{
    const std::vector<std::string> builtIn = {"fable|0.0", "opus|25.5", "sonnet|15.3"};
    const std::vector<std::string> own = {"fable|15.3", "opus|25.5", "sonnet|1.1"};
    const std::vector<std::string> ownChanged = {"fable|15.5", "opus|25.5", "sonnet|1.1"};
    {
        WriteDatabase db(path);
        db.insertMessages({message("fable", "claude-fable-5-20260101"), message("sonnet", "claude-sonnet-4-5-20250929"),
                           message("opus", "claude-opus-4-6")});
        EXPECT_EQ(costs(), builtIn);

        ModelPricingCatalog::use(userList(3));
        db.priceAgain();
        db.waitForRepricing();
        EXPECT_EQ(costs(), own);

        ModelPricingCatalog::use(std::make_shared<const PriceList>(PriceList::standingIn()));
        db.priceAgain();
        db.waitForRepricing();
        EXPECT_EQ(costs(), own);
    }
    // Opened again while the file is still bad: the opening pass changes nothing either.
    WriteDatabase(path).waitForRepricing();
    EXPECT_EQ(costs(), own);

    ModelPricingCatalog::use(userList(5));
    {
        WriteDatabase db(path);
        db.waitForRepricing();
        EXPECT_EQ(costs(), ownChanged);
        ModelPricingCatalog::use(nullptr);
        db.priceAgain();
        db.waitForRepricing();
        EXPECT_EQ(costs(), builtIn);
    }
    EXPECT_EQ(SqlProbe(path).value("SELECT COUNT(*) FROM messages WHERE pricedWith <> "
                                   + std::to_string(ModelPricingCatalog::version)),
              "0");
}

// A writer's look leaves a mark of what it found priced, so that the question
// is answered without reading every message; the mark still sees a row that
// any build stored or rewrote since, also under a reused row number.
TEST_F(Repricing, theMarkOfWhatWasPricedSeesEveryWriteSince)
{
    const std::int64_t version = ModelPricingCatalog::version;
    const std::string other = std::to_string(version - 1);
    WriteDatabase(path).insertMessages({message("a", "claude-opus-4-6"), message("b", "claude-opus-4-6")});
    const std::pair<const char*, std::string> changes[] = {
        {"a row stored by another build",
         "INSERT INTO messages (messageId, sessionId, timestamp, role, pricedWith) VALUES ('c', 'S', "
         "'2025-01-15T10:00:00Z', 'assistant', " + other + ");"},
        {"a row rewritten by another build", "UPDATE messages SET pricedWith = " + other + " WHERE messageId = 'a';"},
        {"the last row deleted and its number given to another",
         "DELETE FROM messages WHERE rowid = (SELECT MAX(rowid) FROM messages); INSERT INTO messages (messageId, "
         "sessionId, timestamp, role, pricedWith) VALUES ('d', 'S', '2025-01-15T10:00:00Z', 'assistant', " + other + ");"},
    };
    for (const auto& [change, sql] : changes) {
        SCOPED_TRACE(change);
        WriteDatabase(path).waitForRepricing(); // prices what the last case left, and keeps the mark
        SqlProbe probe(path);
        ASSERT_EQ(PriceCheck::allPricedWith(probe.handle(), version), std::optional(true));
        EXPECT_FALSE(DatabaseClient(path).hasMessagesPricedOtherThan(version));
        probe.exec(sql);
        EXPECT_EQ(PriceCheck::allPricedWith(probe.handle(), version), std::optional(false));
        EXPECT_TRUE(DatabaseClient(path).hasMessagesPricedOtherThan(version));
    }
    WriteDatabase(path).waitForRepricing();
    EXPECT_EQ(SqlProbe(path).value("SELECT COUNT(*) FROM messages WHERE pricedWith <> " + std::to_string(version)), "0");
    EXPECT_EQ(PriceCheck::allPricedWith(SqlProbe(path).handle(), version + 1), std::nullopt) << "another list's question";
}

} // namespace
} // namespace tallyglass
