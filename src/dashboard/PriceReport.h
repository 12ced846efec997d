#pragma once

#include "pricing/PriceList.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallyglass::PriceReport {

// `tallyglass prices`: the list in use, the user's entries (marked, with the
// built-in rows they replace left out) before the built-in ones, then the
// models seen that have no price.

struct Input {
    const PriceList* list = nullptr;
    std::string file;                    // the user's file, as shown
    std::optional<std::string> problem;  // why the file is not in use
    // Every model identifier stored, with its messages (DatabaseClient::fetchModelCounts).
    std::vector<std::pair<std::string, std::int64_t>> seen;
};

std::string renderText(const Input& input, std::size_t width);
// {"file", "problem", "models": [{"model", "source": "user" | "built-in",
// "replacesBuiltIn", "input", "output", "cacheWrite", "cacheWrite1h",
// "cacheRead", "longContext": {...} | null}], "unpriced": [{"model", "messages"}]}
std::string renderJson(const Input& input);

// "3.00", "0.30", "0.075": two decimals at least, no figure lost.
std::string price(double perMTok);

} // namespace tallyglass::PriceReport
