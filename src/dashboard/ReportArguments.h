#pragma once

#include "core/CommandLine.h"
#include "dashboard/TerminalReport.h"

#include <optional>
#include <string>
#include <vector>

namespace tallyglass::ReportArguments {

std::string help();
extern const char* const daysHelp; // the lines of the options that choose the days

struct Request {
    bool help = false;
    TerminalReport::Options options;
    bool json = false;
    bool update = true;         // bring in what changed first
    bool fromFirstData = false; // --all: `options.from` becomes the first day with data
};

// The report's arguments, the days resolved against `now` (UTC days, today
// included). Throws CommandLine::UsageError saying what is wrong.
Request parse(const std::vector<std::string>& arguments, Instant now);

// The days that --days, --since, --until and --all choose (the report's and the export's).
struct Days {
    Instant from;
    Instant to;
    std::string title;
    bool fromFirstData = false;
    DayClock clock = DayClock::utc(); // --local or --zone: that zone's days
};
Days days(const CommandLine::Parsed& parsed, Instant now);

// The zone that --local and --zone choose (UTC without either). A zone that
// is not known throws UsageError naming the nearest one.
DayClock zoneClock(const CommandLine::Parsed& parsed);

// --machine's value: the name without surrounding blanks; nothing without the
// option. Throws UsageError for a blank name.
std::optional<std::string> machine(const CommandLine::Parsed& parsed);

// Nothing when `name` is among the machines stored (`known`) or none is
// stored; else a sentence saying so, with the nearest name and every stored
// one. A name of no machine at all is a mistake to point out, not an empty
// report: that is how a typo would pass for a machine that used nothing.
std::optional<std::string> unknownMachine(const std::string& name, const std::vector<std::string>& known);

// --week-start's value: true for sunday, false for monday (ISO weeks).
bool weekStartsSunday(const std::string& text);

} // namespace tallyglass::ReportArguments
