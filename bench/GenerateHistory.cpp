// Writes a realistic transcript history for import measurements: project
// folders of sessions, some with subagent transcripts, tool-result folders.
//
//   tallyglass_generate_history <projects dir> <megabytes> [pauses]
//
// Lines follow each other by 0-20 s. With "pauses", sessions begin after
// pauses around the five hours that end a block of use (just under, exactly,
// just over, and longer ones), for comparing block boundaries.

#include "TranscriptGenerator.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

int main(int argc, char** argv)
{
    if (argc != 3 && !(argc == 4 && std::string_view(argv[3]) == "pauses"))
        return 2;
    const bool pauses = argc == 4;
    constexpr std::int64_t minute = 60'000;
    constexpr std::int64_t pauseMinutes[] = {0, 300, 299, 301, 30, 540, 1560, 120, 305, 295};
    const std::filesystem::path root = argv[1];
    const std::size_t target = static_cast<std::size_t>(std::atoll(argv[2])) * 1024 * 1024;
    tallyglass::bench::TranscriptGenerator generator(2026);
    std::size_t written = 0;
    int session = 0;
    while (written < target) {
        const auto project = root / ("-home-dev-project-" + std::to_string(session % 12));
        if (pauses)
            generator.pause(pauseMinutes[session % std::size(pauseMinutes)] * minute);
        const std::string id = generator.uuid();
        std::string text;
        // Sessions from a few hundred kilobytes to tens of megabytes.
        const std::size_t size = (session % 7 == 0) ? 24u << 20 : (256u << 10) + (session * 7919u % (6u << 20));
        generator.appendSession(text, size);
        std::filesystem::create_directories(project);
        std::ofstream(project / (id + ".jsonl"), std::ios::binary) << text;
        written += text.size();
        if (session % 5 == 0) {
            std::string agent;
            generator.appendSession(agent, 512u << 10);
            std::filesystem::create_directories(project / id / "subagents");
            std::ofstream(project / id / "subagents" / "agent-1.jsonl", std::ios::binary) << agent;
            std::filesystem::create_directories(project / id / "tool-results");
            std::ofstream(project / id / "tool-results" / "result.jsonl", std::ios::binary) << agent.substr(0, 4096);
            written += agent.size();
        }
        ++session;
    }
    std::printf("%zu MB in %d sessions under %s\n", written >> 20, session, root.c_str());
    return 0;
}
