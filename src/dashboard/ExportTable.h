#pragma once

#include "dashboard/TerminalReport.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace tallyglass::ExportTable {

// The stored figures as a table for other programs: one row per message,
// session, day, week, month, project, model or machine. Numbers stay numbers; costs are US dollars.

struct Cost {
    double dollars = 0;
};
using Cell = std::variant<std::monostate, std::string, std::int64_t, Cost, bool>; // monostate: no value

struct Table {
    std::vector<std::string> columns;
    std::vector<std::vector<Cell>> rows;
};

enum class Rows { message, session, day, week, month, project, model, machine };

// `messages` and `projects` as the report takes them; the figures are the report's for the same days.
Table build(Rows rows, const std::vector<DashboardMessage>& messages, const std::map<std::string, std::string>& projects,
            const TerminalReport::Options& days);

// RFC 4180: a header row, CRLF line ends, fields quoted where they hold a comma
// or a quote; costs with six decimals, '.' as the decimal point. Text comes from
// outside and lands in spreadsheets and terminals: its controls are escaped
// (Printable) and a text that would start a formula gets a leading "'".
std::string csv(const Table& table);
// One array of objects keyed by the column names, every text as stored (bytes
// that are not UTF-8 replaced); no value is null.
std::string json(const Table& table);

} // namespace tallyglass::ExportTable
