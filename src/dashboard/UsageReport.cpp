#include "dashboard/UsageReport.h"

#include "dashboard/TextIndex.h"

#include "core/IsoTime.h"
#include "dashboard/DashboardAggregator.h"
#include "pricing/DisplayNameCache.h"
#include "pricing/ModelPricingCatalog.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace tallyglass::UsageReport {

namespace {

std::string withDecimals(double value, int decimals, const char* prefix, const char* suffix)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s%.*f%s", prefix, decimals, value, suffix);
    return buffer;
}

std::string day(Instant t)
{
    return IsoTime::formatSeconds(t).substr(0, 10);
}

std::string minute(Instant t)
{
    const std::string text = IsoTime::formatSeconds(t);
    return text.substr(0, 10) + " " + text.substr(11, 5) + " UTC";
}

std::string pad(std::string text, std::size_t width, bool right = false)
{
    // Widths count characters, not bytes: display names and figures are ASCII.
    if (text.size() < width)
        text = right ? std::string(width - text.size(), ' ') + text : text + std::string(width - text.size(), ' ');
    return text;
}

std::string percent(double value)
{
    return std::to_string(static_cast<long long>(std::trunc(value))) + "%";
}

} // namespace

std::string shortTokens(std::int64_t tokens)
{
    const auto magnitude = std::abs(static_cast<double>(tokens));
    if (magnitude < 1'000)
        return std::to_string(tokens);
    if (magnitude < 1'000'000)
        return withDecimals(static_cast<double>(tokens) / 1'000, 1, "", "k");
    return withDecimals(static_cast<double>(tokens) / 1'000'000, 1, "", "M");
}

std::string dollars(double amount)
{
    if (amount >= 1'000)
        return withDecimals(amount / 1'000, 1, "$", "k");
    if (amount >= 100)
        return withDecimals(amount, 0, "$", "");
    return withDecimals(amount, 2, "$", "");
}

std::vector<ModelRow> modelRows(const MessageList& messages)
{
    // Summed per identifier first (by the text's address), then per display name.
    TextIndex<AsIs> identifiers;
    std::vector<ModelRow> sums;
    for (const DashboardMessage& m : messages) {
        const std::size_t index = identifiers(m.model);
        if (sums.size() <= index)
            sums.resize(index + 1, ModelRow{{}, 0, 0, 0, 0, 0, false});
        ModelRow& row = sums[index];
        row.input += m.inputTokens;
        row.output += m.outputTokens;
        row.cacheWritten += m.cacheCreationInputTokens;
        row.cacheRead += m.cacheReadInputTokens;
        row.cost += m.cost;
    }
    DisplayNameCache names;
    std::map<std::string, ModelRow> models;
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const std::string& identifier = identifiers.keys()[i];
        ModelRow& row = models.try_emplace(names(identifier), ModelRow{{}, 0, 0, 0, 0, 0, false}).first->second;
        row.priced = row.priced || ModelPricingCatalog::isPriced(identifier);
        row.input += sums[i].input;
        row.output += sums[i].output;
        row.cacheWritten += sums[i].cacheWritten;
        row.cacheRead += sums[i].cacheRead;
        row.cost += sums[i].cost;
    }
    std::vector<ModelRow> rows;
    for (auto& [name, row] : models) {
        row.displayName = name;
        if (name == "Other" && row.input + row.output == 0 && row.cost == 0)
            continue;
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ModelRow& a, const ModelRow& b) { return a.input + a.output > b.input + b.output; });
    return rows;
}

std::optional<Report> build(const std::vector<DashboardMessage>& messages, std::optional<UsageLimits> limits, int days,
                            Instant now)
{
    const auto dataBounds = DashboardAggregator::bounds(messages);
    if (!dataBounds)
        return std::nullopt;
    Report report;
    report.days = std::max(days, 1);
    std::tie(report.from, report.to) = DashboardAggregator::applyDays(report.days, *dataBounds, now);
    std::vector<std::uint32_t> picks;
    const auto filtered =
        DashboardAggregator::select(messages, DashboardFilters{report.from, report.to, {}, DatePreset::last7d}, picks,
                                    DashboardAggregator::isSortedByTime(messages));
    report.totals = DashboardAggregator::totals(filtered);
    report.limits = std::move(limits);

    report.unpriced = DashboardAggregator::unpricedModels(filtered);
    report.models = modelRows(filtered);

    for (const DayBucket& bucket : DashboardAggregator::bucketByDay(filtered)) {
        std::int64_t output = 0;
        for (const auto& [name, count] : bucket.perModel)
            output += count;
        report.outputPerDay.push_back({bucket.dayStart, output});
    }
    report.sessions = DashboardAggregator::sessionRows(filtered);
    if (report.sessions.size() > 10)
        report.sessions.resize(10);
    return report;
}

std::string renderText(const Report& r)
{
    std::string out;
    const auto line = [&out](const std::string& text = "") { out += text + "\n"; };
    const Instant lastDay = r.to - std::chrono::hours(24);
    line("Claude Code usage, last " + std::to_string(r.days) + (r.days == 1 ? " day" : " days") + " ("
         + (r.from < r.to ? day(r.from) + " to " + day(lastDay) : std::string("no days with data")) + ", UTC)");
    line();
    line(pad("Cost", 16) + dollars(r.totals.costUSD));
    line(pad("Messages", 16) + std::to_string(r.totals.messageCount) + " in " + std::to_string(r.totals.sessionCount)
         + (r.totals.sessionCount == 1 ? " session" : " sessions"));
    line(pad("Input", 16) + shortTokens(r.totals.input));
    line(pad("Output", 16) + shortTokens(r.totals.output));
    line(pad("Cache written", 16) + shortTokens(r.totals.cacheCreated));
    line(pad("Cache read", 16) + shortTokens(r.totals.cacheRead));
    if (!r.unpriced.empty())
        line(unpricedNote(r.unpriced) + " (their cost is not in the figures)");

    if (!r.models.empty()) {
        line();
        line(pad("Model", 20) + pad("Input", 10, true) + pad("Output", 10, true) + pad("Cache write", 13, true)
             + pad("Cache read", 12, true) + pad("Cost", 10, true));
        for (const ModelRow& m : r.models)
            line(pad(m.displayName, 20) + pad(shortTokens(m.input), 10, true) + pad(shortTokens(m.output), 10, true)
                 + pad(shortTokens(m.cacheWritten), 13, true) + pad(shortTokens(m.cacheRead), 12, true)
                 + pad(m.priced ? dollars(m.cost) : "\u2014", m.priced ? 10 : 12, true));
    }

    if (!r.outputPerDay.empty()) {
        line();
        line("Output per day (UTC)");
        std::int64_t most = 1;
        for (const DayRow& d : r.outputPerDay)
            most = std::max(most, d.output);
        for (const DayRow& d : r.outputPerDay) {
            const auto width = static_cast<std::size_t>(std::lround(30.0 * static_cast<double>(std::max<std::int64_t>(d.output, 0))
                                                                     / static_cast<double>(most)));
            std::string bar;
            for (std::size_t i = 0; i < width; ++i)
                bar += "\u2588";
            line("  " + day(d.day) + pad(shortTokens(d.output), 9, true) + "  " + bar);
        }
    }

    if (!r.sessions.empty()) {
        line();
        line("Recent sessions");
        for (const SessionRow& s : r.sessions)
            line("  " + pad(s.sessionId, 38) + minute(s.latestTimestamp) + pad(std::to_string(s.messageCount), 8, true)
                 + " msgs" + pad(shortTokens(s.outputTokens), 9, true) + " output");
    }

    line();
    line("Usage limits");
    const auto window = [&](const char* name, const std::optional<double>& used, const std::optional<Instant>& resets) {
        std::string text = "  " + pad(name, 18) + (used ? percent(*used) : std::string("unknown"));
        if (resets)
            text += "  (resets " + minute(*resets) + ")";
        line(text);
    };
    if (!r.limits) {
        line("  no rate-limit data yet (it comes with Claude Code's status line)");
    } else {
        window("Five-hour window", r.limits->fiveHourUtilization, r.limits->fiveHourResetsAt);
        window("Seven-day window", r.limits->sevenDayUtilization, r.limits->sevenDayResetsAt);
        if (r.limits->fetchedAt)
            line("  as of " + minute(*r.limits->fetchedAt));
    }
    return out;
}

std::string renderJson(const Report& r)
{
    using json = nlohmann::json;
    const auto instant = [](const std::optional<Instant>& t) { return t ? json(IsoTime::formatSeconds(*t)) : json(nullptr); };
    const auto number = [](const std::optional<double>& v) { return v ? json(*v) : json(nullptr); };
    json out;
    out["days"] = r.days;
    out["from"] = IsoTime::formatSeconds(r.from);
    out["to"] = IsoTime::formatSeconds(r.to);
    out["totals"] = {{"input", r.totals.input},          {"output", r.totals.output},
                     {"cacheWritten", r.totals.cacheCreated}, {"cacheRead", r.totals.cacheRead},
                     {"messages", r.totals.messageCount}, {"sessions", r.totals.sessionCount},
                     {"costUSD", r.totals.costUSD}};
    out["models"] = json::array();
    for (const ModelRow& m : r.models)
        out["models"].push_back({{"model", m.displayName}, {"input", m.input}, {"output", m.output},
                                 {"cacheWritten", m.cacheWritten}, {"cacheRead", m.cacheRead},
                                 {"costUSD", m.priced ? json(m.cost) : json(nullptr)}});
    out["unpriced"] = json::array();
    for (const UnpricedModel& u : r.unpriced)
        out["unpriced"].push_back({{"model", u.model}, {"messages", u.messages}});
    out["outputPerDay"] = json::array();
    for (const DayRow& d : r.outputPerDay)
        out["outputPerDay"].push_back({{"day", day(d.day)}, {"output", d.output}});
    out["sessions"] = json::array();
    for (const SessionRow& s : r.sessions)
        out["sessions"].push_back({{"sessionId", s.sessionId}, {"latest", IsoTime::formatSeconds(s.latestTimestamp)},
                                   {"messages", s.messageCount}, {"output", s.outputTokens}});
    if (r.limits)
        out["limits"] = {{"fiveHourUtilization", number(r.limits->fiveHourUtilization)},
                         {"fiveHourResetsAt", instant(r.limits->fiveHourResetsAt)},
                         {"sevenDayUtilization", number(r.limits->sevenDayUtilization)},
                         {"sevenDayResetsAt", instant(r.limits->sevenDayResetsAt)},
                         {"fetchedAt", instant(r.limits->fetchedAt)}};
    else
        out["limits"] = nullptr;
    return out.dump(2) + "\n";
}

} // namespace tallyglass::UsageReport
