#include "dashboard/ExportTable.h"

#include "core/IsoTime.h"
#include "core/Printable.h"
#include "dashboard/DashboardAggregator.h"
#include "pricing/ModelPricingCatalog.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <string_view>
#include <unordered_map>

namespace tallyglass::ExportTable {

namespace {

const std::vector<std::string> figureColumns{"messages", "input_tokens", "output_tokens", "cache_write_tokens", "cache_read_tokens",
                                             "cost_usd"};

void addFigures(std::vector<Cell>& row, const TerminalReport::Figures& f, bool priced = true)
{
    row.insert(row.end(), {Cell(f.messages), Cell(f.input), Cell(f.output), Cell(f.cacheWritten), Cell(f.cacheRead)});
    row.push_back(priced ? Cell(Cost{f.cost}) : Cell());
}

std::vector<std::string> withFigures(std::vector<std::string> leading)
{
    leading.insert(leading.end(), figureColumns.begin(), figureColumns.end());
    return leading;
}

Cell text(const std::string& value)
{
    return value.empty() ? Cell() : Cell(value);
}

// One row per day, week or month, named by its key.
void addKeyed(Table& table, const std::string& column, const std::vector<TerminalReport::Row>& rows)
{
    table.columns = withFigures({column});
    for (const auto& r : rows) {
        std::vector<Cell> row{r.key};
        addFigures(row, r.figures);
        table.rows.push_back(std::move(row));
    }
}

// Six decimals and '.', whatever the locale: the desktop application runs in
// the user's, where printf would write a comma.
std::string costText(double dollars)
{
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, dollars, std::chars_format::fixed, 6);
    return error == std::errc{} ? std::string(buffer, end) : std::string();
}

// Text as a spreadsheet cell shows it and never runs it: controls escaped, and
// a leading character that would make the cell a formula (=, +, -, @, tab and
// carriage return, as OWASP lists them) behind an apostrophe. Only text has
// this; the numbers are ours and stay numbers, negative ones included.
std::string spreadsheetText(const std::string& value)
{
    std::string shown = Printable::escaped(value);
    if (!value.empty() && std::string_view("=+-@\t\r").find(value.front()) != std::string_view::npos)
        shown.insert(shown.begin(), '\'');
    return shown;
}

std::string field(const Cell& cell)
{
    struct Visitor {
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(const std::string& s) const { return spreadsheetText(s); }
        std::string operator()(std::int64_t n) const { return std::to_string(n); }
        std::string operator()(Cost c) const { return std::isfinite(c.dollars) ? costText(c.dollars) : std::string(); }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
    };
    return std::visit(Visitor{}, cell);
}

std::string quoted(const std::string& value)
{
    if (value.find_first_of(",\"\r\n") == std::string::npos)
        return value;
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

} // namespace

Table build(Rows rows, const std::vector<DashboardMessage>& messages, const std::map<std::string, std::string>& projects,
            const TerminalReport::Options& days)
{
    Table table;
    if (rows == Rows::message) {
        // The machine came last, after the columns readers of earlier exports know by position.
        table.columns = {"timestamp", "session_id", "project", "model", "input_tokens", "output_tokens", "cache_write_tokens",
                         "cache_read_tokens", "cost_usd", "subagent", "machine"};
        std::vector<std::uint32_t> picks;
        const MessageList inRange = DashboardAggregator::select(messages, TerminalReport::filtersFor(days), picks,
                                                                DashboardAggregator::isSortedByTime(messages));
        // Whether a model has a price is asked once per distinct identifier, not once per row.
        std::unordered_map<std::string_view, bool> priced;
        for (const DashboardMessage& m : inRange) {
            const auto [known, added] = priced.try_emplace(m.model.view(), false);
            if (added)
                known->second = ModelPricingCatalog::isPriced(std::string(m.model.view()));
            const std::string session(m.sessionId.view());
            const auto project = projects.find(session);
            table.rows.push_back({IsoTime::formatSeconds(m.timestamp), session, text(project == projects.end() ? "" : project->second),
                                  text(std::string(m.model.view())), m.inputTokens, m.outputTokens, m.cacheCreationInputTokens,
                                  m.cacheReadInputTokens,
                                  // No price known is no cost known, not a free message.
                                  known->second ? Cell(Cost{m.cost}) : Cell(), m.isSubagent, text(m.machine.str())});
        }
        return table;
    }
    const TerminalReport::Report report = TerminalReport::build(messages, projects, std::nullopt, days);
    switch (rows) {
    case Rows::session:
        table.columns = withFigures({"session_id", "project", "first", "latest"});
        for (const auto& s : report.sessions) {
            std::vector<Cell> row{s.key, text(s.project), IsoTime::formatSeconds(s.first), IsoTime::formatSeconds(s.latest)};
            addFigures(row, s.figures);
            table.rows.push_back(std::move(row));
        }
        break;
    case Rows::day: addKeyed(table, "day", report.days); break;
    case Rows::week: addKeyed(table, "week", report.weeks); break;
    case Rows::month: addKeyed(table, "month", report.months); break;
    case Rows::project:
    case Rows::machine:
        table.columns = withFigures({rows == Rows::project ? "project" : "machine", "sessions"});
        for (const auto& p : rows == Rows::project ? report.projects : report.machines) {
            std::vector<Cell> row{text(p.key), p.sessions};
            addFigures(row, p.figures);
            table.rows.push_back(std::move(row));
        }
        break;
    case Rows::model:
        table.columns = withFigures({"model", "identifiers"});
        for (const auto& m : report.models) {
            std::string identifiers;
            for (const auto& id : m.identifiers)
                identifiers += (identifiers.empty() ? "" : " ") + id;
            std::vector<Cell> row{m.name, text(identifiers)};
            addFigures(row, m.figures, m.priced);
            table.rows.push_back(std::move(row));
        }
        break;
    case Rows::message: break;
    }
    return table;
}

std::string csv(const Table& table)
{
    std::string out;
    const auto line = [&out](const std::vector<std::string>& fields) {
        for (std::size_t i = 0; i < fields.size(); ++i)
            out += (i ? "," : "") + quoted(fields[i]);
        out += "\r\n";
    };
    line(table.columns);
    for (const auto& row : table.rows) {
        std::vector<std::string> fields;
        for (const Cell& cell : row)
            fields.push_back(field(cell));
        line(fields);
    }
    return out;
}

std::string json(const Table& table)
{
    using Json = nlohmann::ordered_json;
    Json out = Json::array();
    for (const auto& row : table.rows) {
        Json object = Json::object();
        for (std::size_t i = 0; i < row.size() && i < table.columns.size(); ++i) {
            struct Visitor {
                Json operator()(std::monostate) const { return nullptr; }
                Json operator()(const std::string& s) const { return s; }
                Json operator()(std::int64_t n) const { return n; }
                Json operator()(Cost c) const
                {
                    return std::isfinite(c.dollars) ? Json::parse(costText(c.dollars)) : Json(nullptr);
                }
                Json operator()(bool b) const { return b; }
            };
            object[table.columns[i]] = std::visit(Visitor{}, row[i]);
        }
        out.push_back(std::move(object));
    }
    return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

} // namespace tallyglass::ExportTable
