#include "dashboard/TerminalReport.h"

#include "core/IsoTime.h"
#include "core/UtcCalendar.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace tallyglass::TerminalReport {

namespace {

using json = nlohmann::ordered_json;

// The shape's own version: scripts can tell it from the first one (which had no field).
constexpr int shapeVersion = 2;

json figures(const Figures& f, std::optional<double> cost)
{
    return {{"messages", f.messages},
            {"input", f.input},
            {"output", f.output},
            {"cacheWritten", f.cacheWritten},
            {"cacheRead", f.cacheRead},
            {"costUSD", cost ? json(microDollars(*cost)) : json(nullptr)}};
}

json model(const ModelRow& m)
{
    json out = {{"model", m.name}, {"identifiers", m.identifiers}};
    out.update(figures(m.figures, m.priced ? std::optional<double>(m.figures.cost) : std::nullopt));
    return out;
}

json row(const char* keyName, const Row& r, bool breakdown)
{
    json out = {{keyName, r.key}};
    out.update(figures(r.figures, r.figures.cost));
    if (breakdown) {
        out["models"] = json::array();
        for (const ModelRow& m : r.models)
            out["models"].push_back(model(m));
    }
    return out;
}

json instant(const std::optional<Instant>& t)
{
    return t ? json(IsoTime::formatSeconds(*t)) : json(nullptr);
}

} // namespace

double microDollars(double dollars)
{
    // The quotient of a whole number by 10^6 is the double nearest that decimal, so the
    // JSON writer's shortest form of it has at most six decimals.
    return std::isfinite(dollars) ? std::round(dollars * 1e6) / 1e6 : dollars;
}

std::string renderJson(const Report& r, const std::string& version)
{
    const bool breakdown = r.options.breakdown;
    json out;
    out["version"] = shapeVersion;
    out["generator"] = "tallyglass " + version;
    out["title"] = r.options.title;
    out["from"] = IsoTime::formatSeconds(r.options.from);
    out["to"] = IsoTime::formatSeconds(r.options.to);
    out["dayCount"] = r.days.size();
    out["dayZone"] = r.options.clock.zoneName();
    out["dataUpTo"] = instant(r.dataUpTo);
    out["impossibleTimes"] = r.impossibleTimes;
    out["totals"] = {{"messages", r.totals.messageCount}, {"sessions", r.totals.sessionCount},
                     {"input", r.totals.input},           {"output", r.totals.output},
                     {"cacheWritten", r.totals.cacheCreated}, {"cacheRead", r.totals.cacheRead},
                     {"costUSD", microDollars(r.totals.costUSD)}};
    out["models"] = json::array();
    for (const ModelRow& m : r.models)
        out["models"].push_back(model(m));
    out["unpriced"] = json::array();
    for (const UnpricedModel& u : r.unpriced)
        out["unpriced"].push_back({{"model", u.model}, {"messages", u.messages}});
    out["days"] = json::array();
    for (const Row& d : r.days)
        out["days"].push_back(row("day", d, breakdown));
    out["weekStart"] = r.options.weekStartsSunday ? "sunday" : "monday";
    out["weeks"] = json::array();
    for (const Row& w : r.weeks)
        out["weeks"].push_back(row("week", w, breakdown));
    out["months"] = json::array();
    for (const Row& m : r.months)
        out["months"].push_back(row("month", m, breakdown));
    out["sessions"] = json::array();
    for (const Row& s : r.sessions) {
        json session = row("sessionId", s, breakdown);
        session["project"] = s.project.empty() ? json(nullptr) : json(s.project);
        session["first"] = IsoTime::formatSeconds(s.first);
        session["latest"] = IsoTime::formatSeconds(s.latest);
        out["sessions"].push_back(std::move(session));
    }
    out["projects"] = json::array();
    for (const Row& p : r.projects) {
        json project = row("project", p, breakdown);
        if (p.key.empty())
            project["project"] = nullptr;
        project["sessions"] = p.sessions;
        out["projects"].push_back(std::move(project));
    }
    out["machines"] = json::array();
    for (const Row& m : r.machines) {
        // The count of sessions beside the count of messages, as the totals have them.
        json machine = {{"machine", m.key}, {"messages", m.figures.messages}, {"sessions", m.sessions}};
        json rest = row("machine", m, breakdown);
        rest.erase("machine");
        rest.erase("messages");
        machine.update(rest);
        out["machines"].push_back(std::move(machine));
    }
    if (r.limits)
        out["limits"] = {{"fiveHourUtilization", r.limits->fiveHourUtilization ? json(*r.limits->fiveHourUtilization) : json(nullptr)},
                         {"fiveHourResetsAt", instant(r.limits->fiveHourResetsAt)},
                         {"sevenDayUtilization", r.limits->sevenDayUtilization ? json(*r.limits->sevenDayUtilization) : json(nullptr)},
                         {"sevenDayResetsAt", instant(r.limits->sevenDayResetsAt)},
                         {"fetchedAt", instant(r.limits->fetchedAt)}};
    else
        out["limits"] = nullptr;
    // Folder names come from the disk and need not be UTF-8: replaced, never a failure.
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace tallyglass::TerminalReport
