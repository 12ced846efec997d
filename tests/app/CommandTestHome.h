#pragma once

#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace tallyglass::test {

// The real executable run against a home of its own: transcripts written into
// it, the commands run with it as $HOME, in UTC and with no width asked for.
class CommandTestHome : public ::testing::Test {
protected:
    std::filesystem::path home = freshDirectory();
    std::map<std::string, std::string> environment { { "HOME", home.string() },
        { "XDG_CONFIG_HOME", (home / ".config").string() }, { "TZ", "UTC" }, { "COLUMNS", "" } };
    std::filesystem::path configFolder = home / ".config/tallyglass";

    ProcessResult tallyglass(
        std::vector<std::string> arguments, std::chrono::milliseconds timeout = std::chrono::seconds(30))
    {
        arguments.insert(arguments.begin(), TALLYGLASS_EXECUTABLE);
        return runProcess(arguments, "", environment, timeout);
    }
    void transcript(const std::filesystem::path& relative, const std::string& text)
    {
        std::filesystem::create_directories((home / relative).parent_path());
        std::ofstream(home / relative, std::ios::app) << text;
    }
};

// Now, moved by some hours, as a UTC timestamp to the second.
inline std::string utcHoursFromNow(int hours)
{
    const std::time_t seconds
        = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + std::chrono::hours(hours));
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&seconds));
    return stamp;
}

// One assistant message of a transcript.
inline std::string assistantLine(const std::string& id, const std::string& session, const std::string& timestamp,
    const std::string& model, long long input, long long output, long long cacheWritten = 0, long long cacheRead = 0)
{
    return R"({"type":"assistant","sessionId":")" + session + R"(","timestamp":")" + timestamp
        + R"(","message":{"id":")" + id + R"(","model":")" + model + R"(","usage":{"input_tokens":)"
        + std::to_string(input) + R"(,"output_tokens":)" + std::to_string(output) + R"(,"cache_creation_input_tokens":)"
        + std::to_string(cacheWritten) + R"(,"cache_read_input_tokens":)" + std::to_string(cacheRead) + "}}}\n";
}

} // namespace tallyglass::test
