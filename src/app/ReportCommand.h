#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tallyglass::ReportCommand {

// `tallyglass report [options]`: the report for a terminal or for scripts
// (`tallyglass report --help` lists the options). It first reads the
// transcripts that changed since the last import, unless the app is running
// or --no-update is given. 0 when shown (also with nothing recorded yet), 1
// when the database cannot be read, 2 for bad usage.
int run(const std::vector<std::string>& arguments);

// What the report and the export do first: read the transcripts that changed
// since the last import, unless the app captures live. `current` when the
// stored data is up to date; `problem` says why it could not be brought so.
struct Freshness {
    bool current = false;
    std::optional<std::string> problem;
};
Freshness bringUpToDate();

} // namespace tallyglass::ReportCommand
