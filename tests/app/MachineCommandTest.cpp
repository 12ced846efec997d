#include "app/CommandTestHome.h"

#include "core/MessageInsert.h"
#include "storage/WriteDatabase.h"
#include "support/SqlProbe.h"

#include <nlohmann/json.hpp>

namespace tallyglass {
namespace {

// This machine named in the settings, its transcript imported, and a build
// box's session received as telemetry: every command sees two machines.
class MachineCommandTest : public test::CommandTestHome {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(configFolder);
        std::ofstream(configFolder / "tallyglass.conf") << "[General]\ntallyglass.machine.name=\" desk \"\n";
        transcript(".claude/projects/-home-ada-app/s-desk.jsonl",
                   test::assistantLine("d1", "s-desk", test::utcHoursFromNow(0), "claude-sonnet-4-5", 100, 2000)
                       + test::assistantLine("d2", "s-desk", test::utcHoursFromNow(0), "claude-sonnet-4-5", 100, 1000));
        ASSERT_EQ(tallyglass({"import"}).exitCode, 0);
        const MessageInsert box{"otel:s-box#1", "s-box", test::utcHoursFromNow(0), "assistant", "claude-opus-4-6", 10, 5000, 0, 0,
                                false, 0, "buildbox", true, {}};
        WriteDatabase(configFolder / "app.db").insertMessages({box});
    }
};

TEST_F(MachineCommandTest, theSettingNamesImportedRowsAndEveryCommandGroupsAndFiltersByMachine)
{
    EXPECT_EQ(test::SqlProbe(configFolder / "app.db").rows("SELECT DISTINCT machine FROM messages ORDER BY 1"),
              (std::vector<std::string>{"buildbox", "desk"}));

    const auto json = nlohmann::ordered_json::parse(tallyglass({"report", "--json", "--no-update"}).out);
    ASSERT_EQ(json["machines"].size(), 2u);
    EXPECT_EQ(json["machines"][0]["machine"], "buildbox"); // dearest first
    EXPECT_EQ(json["machines"][1].dump(), nlohmann::ordered_json::parse(R"({"machine":"desk","messages":2,"sessions":1,"input":200,
        "output":3000,"cacheWritten":0,"cacheRead":0,"costUSD":0.0456})").dump());

    // The arguments, and what standard output holds: the machine's figures, never the other's.
    const std::tuple<std::vector<std::string>, std::vector<const char*>, std::vector<const char*>> cases[] = {
        {{"report", "--by", "machine"}, {"buildbox", "desk", "Total"}, {}},
        {{"report", "--machine", "desk", "--by", "session"}, {"usage on desk", "s-desk"}, {"s-box"}},
        {{"export", "--by", "machine"}, {"machine,sessions,messages", "buildbox,1,1,10,5000", "desk,1,2,200,3000"}, {}},
        {{"export", "--machine", "buildbox"}, {",subagent,machine\r\n", ",false,buildbox\r\n"}, {"desk"}},
        {{"blocks", "--machine", "desk", "--json"}, {"\"messages\": 2"}, {"\"messages\": 3"}},
    };
    for (const auto& [arguments, shown, notShown] : cases) {
        const auto result = tallyglass(arguments);
        SCOPED_TRACE(arguments[0] + " " + arguments[1] + " " + arguments[2]);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        for (const char* text : shown)
            EXPECT_NE(result.out.find(text), std::string::npos) << text << "\n" << result.out;
        for (const char* text : notShown)
            EXPECT_EQ(result.out.find(text), std::string::npos) << text << "\n" << result.out;
    }

    // A name no row carries is a mistake said with the names stored, not an empty report.
    for (const char* command : {"report", "export", "blocks"}) {
        const auto typo = tallyglass({command, "--machine", "dessk"});
        EXPECT_EQ(typo.exitCode, 2) << command;
        EXPECT_NE(typo.err.find("did you mean 'desk'? The machines stored: 'buildbox', 'desk'"), std::string::npos) << typo.err;
        EXPECT_EQ(typo.out, "");
    }
}

} // namespace
} // namespace tallyglass
