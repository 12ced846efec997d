#pragma once

#include "pricing/PriceList.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass::PriceFile {

// The user's own prices, ~/.config/tallyglass/prices.json, in US dollars per
// million tokens:
//   {"models": {"claude-fable-5": {"input": 3, "output": 15, "cacheWrite": 3.75,
//                                  "cacheWrite1h": 6, "cacheRead": 0.3,
//                                  "longContext": {...the same fields...}}}}
// input, output, cacheWrite and cacheRead are required; cacheWrite1h is twice
// input when absent; longContext, the rates above 200,000 input tokens a
// request, is optional. Prices are numbers from 0 to maxPrice. A field the
// format does not have is refused rather than ignored: a misspelt
// "cacheRaed" would otherwise price every cache read at nothing.

inline constexpr double maxPrice = 1'000'000;
inline constexpr std::size_t maxBytes = 1 << 20;

struct Problem {
    std::size_t line = 0; // 1-based; 0 for the file as a whole
    std::string reason;

    bool operator==(const Problem&) const = default;
};

struct Parsed {
    std::vector<PriceList::Entry> entries; // in the file's order
    std::optional<Problem> problem;        // entries are empty when set
};

Parsed parse(std::string_view text);

struct Loaded {
    std::shared_ptr<const PriceList> list; // the built-in list standing in when the file has a problem
    // "~/.config/tallyglass/prices.json line 1: expected a number for 'input'"
    std::optional<std::string> problem;
};

// Reads the file at `path` (`shown` is its name in a problem's sentence). No
// file is the built-in list alone, without a problem.
Loaded load(const std::filesystem::path& path, const std::string& shown);

struct Applied {
    bool priceAgain = false; // the list in use changed: stored messages are to be priced again with it
    std::optional<std::string> problem;
};

// Loads the file and puts its list in use (ModelPricingCatalog::use) when it
// differs from the one in use. A file with a problem puts the built-in list in
// use, which prices stored messages again never.
Applied apply(const std::filesystem::path& path, const std::string& shown);

} // namespace tallyglass::PriceFile
