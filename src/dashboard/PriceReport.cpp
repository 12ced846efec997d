#include "dashboard/PriceReport.h"

#include "core/GroupedCount.h"
#include "core/Printable.h"
#include "dashboard/TextTable.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>

namespace tallyglass::PriceReport {

namespace {

using nlohmann::json;

struct Line {
    std::string model;
    const ModelPricing* standard;
    const ModelPricing* longContext;
    bool own;
    bool replaces;
};

std::vector<Line> lines(const PriceList& list)
{
    std::vector<Line> result;
    const auto table = ModelPricingCatalog::table();
    for (const PriceList::Entry& entry : list.own()) {
        const bool replaces = std::any_of(table.begin(), table.end(),
                                          [&](const ModelPricingCatalog::Row& row) { return list.replacing(row) == &entry; });
        result.push_back({entry.key, &entry.standard, entry.longContext ? &*entry.longContext : nullptr, true, replaces});
    }
    for (const ModelPricingCatalog::Row& row : table) {
        if (!list.replacing(row))
            result.push_back({std::string(row.identifier), &row.standard, row.longContext ? &*row.longContext : nullptr,
                              false, false});
    }
    return result;
}

std::vector<std::pair<std::string, std::int64_t>> unpriced(const Input& input)
{
    std::vector<std::pair<std::string, std::int64_t>> result;
    for (const auto& [model, messages] : input.seen) {
        if (!input.list->isPriced(model))
            result.emplace_back(model, messages);
    }
    std::stable_sort(result.begin(), result.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return result;
}

std::vector<std::string> cells(const std::string& model, const ModelPricing& p)
{
    return {model, price(p.inputPerMTok), price(p.outputPerMTok), price(p.cacheWrite5mPerMTok),
            price(p.cacheWrite1hPerMTok), price(p.cacheReadPerMTok)};
}

json rates(const ModelPricing& p)
{
    return {{"input", p.inputPerMTok}, {"output", p.outputPerMTok}, {"cacheWrite", p.cacheWrite5mPerMTok},
            {"cacheWrite1h", p.cacheWrite1hPerMTok}, {"cacheRead", p.cacheReadPerMTok}};
}

} // namespace

std::string price(double perMTok)
{
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, perMTok, std::chars_format::fixed);
    std::string text = error == std::errc{} ? std::string(buffer, end) : std::string("?");
    const auto point = text.find('.');
    if (point == std::string::npos)
        return text + ".00";
    return text + std::string(text.size() - point < 3 ? 3 - (text.size() - point) : 0, '0');
}

std::string renderText(const Input& input, std::size_t width)
{
    std::string out = "Prices in US dollars per million tokens.\n";
    if (input.problem)
        out += "\n" + TextTable::wrap(Printable::escaped(*input.problem) + "; until it is mended, the built-in list is used.", width);
    // Yours, then the built-in rows: a section each, so that the marking costs no column.
    const auto table = [width](const std::vector<Line>& rows) {
        TextTable t({{"model", false, TextTable::Shrink::keepStart, 12}, {"input", true}, {"output", true},
                     {"cache write", true}, {"1h cache write", true, TextTable::Shrink::never, 8, 0, 1},
                     {"cache read", true}});
        for (const Line& line : rows) {
            t.add(cells(line.model, *line.standard));
            if (line.longContext)
                t.add(cells("  over 200k input", *line.longContext));
        }
        return t.render(width);
    };
    std::vector<Line> own;
    std::vector<Line> builtIn;
    std::vector<std::string> replaced;
    for (const Line& line : lines(*input.list)) {
        (line.own ? own : builtIn).push_back(line);
        if (line.replaces)
            replaced.push_back(line.model);
    }
    if (!own.empty()) {
        out += "\nYours, from " + input.file + ":\n\n" + table(own);
        if (!replaced.empty()) {
            std::string names;
            for (const std::string& name : replaced)
                names += (names.empty() ? "" : ", ") + Printable::escaped(name);
            out += "\n" + TextTable::wrap(std::string(replaced.size() == 1 ? "In place of the built-in row of " : "In place of the built-in rows of ")
                                          + names + ".", width);
        }
    }
    out += "\nBuilt in:\n\n" + table(builtIn);

    const auto missing = unpriced(input);
    if (missing.empty())
        return out + "\nEvery model seen has a price.\n";
    out += "\nSeen without a price (their cost is not in the figures):\n\n";
    TextTable seen({{"model", false, TextTable::Shrink::keepStart, 12}, {"messages", true}});
    for (const auto& [model, messages] : missing)
        seen.add({model.empty() ? "(none named)" : model, groupedCount(messages)});
    return out + seen.render(width);
}

std::string renderJson(const Input& input)
{
    json models = json::array();
    for (const Line& line : lines(*input.list)) {
        json model = {{"model", line.model}, {"source", line.own ? "user" : "built-in"}, {"replacesBuiltIn", line.replaces}};
        model.update(rates(*line.standard));
        model["longContext"] = line.longContext ? rates(*line.longContext) : json(nullptr);
        models.push_back(std::move(model));
    }
    json missing = json::array();
    for (const auto& [model, messages] : unpriced(input))
        missing.push_back({{"model", model}, {"messages", messages}});
    const json out = {{"file", input.file}, {"problem", input.problem ? json(*input.problem) : json(nullptr)},
                      {"models", std::move(models)}, {"unpriced", std::move(missing)}};
    return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace tallyglass::PriceReport
