#include "dashboard/ExportTable.h"

#include "support/Instants.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tallyglass {
namespace {

using test::t;

const TerminalReport::Options twoDays{t("2025-02-01T00:00:00Z"), t("2025-02-03T00:00:00Z"), "", {}, false, 10};

const std::vector<DashboardMessage>& messages()
{
    static const std::vector<DashboardMessage> all = {
        {t("2025-01-31T23:00:00Z"), "outside", "claude-opus-4-6", 1, 1, 0, 0, false, 1.0},
        {t("2025-02-01T10:00:00.250Z"), "a,\"b\"", "claude-opus-4-6", 100, 200, 300, 400, false, 0.1234567, "ada-laptop"},
        {t("2025-02-02T11:00:00Z"), "plain", "modèle-\u00e9t\u00e9", 5, 6, 0, 0, true, 0},
    };
    return all;
}

// CSV that spreadsheets read back: quoting where needed, CRLF, six decimals, a line break shown as "\n".
TEST(ExportTable, csvFollowsRfc4180)
{
    const auto table = ExportTable::build(ExportTable::Rows::message, messages(), {{"plain", "/home/ada/a\nb"}, {"a,\"b\"", "/home/\"q\""}}, twoDays);
    EXPECT_EQ(ExportTable::csv(table),
              "timestamp,session_id,project,model,input_tokens,output_tokens,cache_write_tokens,cache_read_tokens,cost_usd,subagent,machine\r\n"
              "2025-02-01T10:00:00Z,\"a,\"\"b\"\"\",\"/home/\"\"q\"\"\",claude-opus-4-6,100,200,300,400,0.123457,false,ada-laptop\r\n"
              "2025-02-02T11:00:00Z,plain,/home/ada/a\\nb,mod\u00e8le-\u00e9t\u00e9,5,6,0,0,,true,\r\n"); // no price: no cost
    const TerminalReport::Options nothing{t("2024-01-01T00:00:00Z"), t("2024-01-02T00:00:00Z"), "", {}, false, 10};
    EXPECT_EQ(ExportTable::csv(ExportTable::build(ExportTable::Rows::day, messages(), {}, nothing)),
              "day,messages,input_tokens,output_tokens,cache_write_tokens,cache_read_tokens,cost_usd\r\n2024-01-01,0,0,0,0,0,0.000000\r\n");
}

// Each kind of row adds up to the report's figures for the same days; JSON keeps types.
TEST(ExportTable, rowsAgreeWithTheReportAndJsonKeepsTypes)
{
    const auto report = TerminalReport::build(messages(), {}, std::nullopt, twoDays);
    using R = ExportTable::Rows;
    const std::pair<R, std::size_t> kinds[] = {{R::message, 2}, {R::session, 2}, {R::day, 2}, {R::week, 1},
                                               {R::month, 1},   {R::project, 1}, {R::model, 2},  {R::machine, 2}};
    for (const auto& [rows, count] : kinds) {
        const auto json = nlohmann::json::parse(ExportTable::json(ExportTable::build(rows, messages(), {}, twoDays)));
        std::int64_t output = 0;
        double cost = 0;
        for (const auto& row : json) {
            output += row["output_tokens"].get<std::int64_t>();
            cost += row["cost_usd"].is_null() ? 0 : row["cost_usd"].get<double>();
        }
        SCOPED_TRACE(static_cast<int>(rows));
        EXPECT_EQ(json.size(), count); // the two days are a Saturday and a Sunday: one ISO week
        EXPECT_EQ(output, report.totals.output);
        EXPECT_NEAR(cost, report.totals.costUSD, 1e-5);
    }
    const auto models = nlohmann::json::parse(ExportTable::json(ExportTable::build(ExportTable::Rows::model, messages(), {}, twoDays)));
    ASSERT_EQ(models.size(), 2u);
    EXPECT_EQ(models[1]["identifiers"], "mod\u00e8le-\u00e9t\u00e9");
    EXPECT_TRUE(models[1]["cost_usd"].is_null()); // no price known, not zero
    EXPECT_EQ(models[0]["cost_usd"], 0.123457);
}

// Text from a transcript lands in spreadsheets and terminals: in CSV it is never a
// formula nor a control, while our own numbers stay as written and JSON keeps the text.
TEST(ExportTable, csvTextIsNeverAFormulaNorAControlAndJsonKeepsItExactly)
{
    struct Case {
        std::string text;
        std::string cell;
    };
    const Case cases[] = {
        {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
        {"@SUM(1)", "'@SUM(1)"},
        {"+1", "'+1"},
        {"-2+3", "'-2+3"},
        {"\tx", "'\\tx"},
        {"\rx", "'\\rx"},
        {"\x1b]0;pwned\x07", "\\x1b]0;pwned\\x07"},
        {"a=b", "a=b"},
        {"Caf\u00e9/\u65e5\u672c", "Caf\u00e9/\u65e5\u672c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::vector<DashboardMessage> one{{t("2025-02-01T10:00:00Z"), c.text, c.text, -5, 1, 0, 0, false, 0, c.text}};
        const auto table = ExportTable::build(ExportTable::Rows::message, one, {{c.text, c.text}}, twoDays);
        const std::string csv = ExportTable::csv(table);
        EXPECT_EQ(csv.substr(csv.find('\n') + 1),
                  "2025-02-01T10:00:00Z," + c.cell + "," + c.cell + "," + c.cell + ",-5,1,0,0,,false," + c.cell + "\r\n");
        const auto json = nlohmann::json::parse(ExportTable::json(table));
        EXPECT_EQ(json[0]["session_id"], c.text);
        EXPECT_EQ(json[0]["project"], c.text);
        EXPECT_EQ(json[0]["model"], c.text);
        EXPECT_EQ(json[0]["machine"], c.text);
    }
}

} // namespace
} // namespace tallyglass
