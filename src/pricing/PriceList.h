#pragma once

#include "pricing/ModelPricingCatalog.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass {

// The prices in use: the built-in catalogue with the user's own entries
// (~/.config/tallyglass/prices.json) over it. An identifier is priced by the
// user's entry of exactly its name, else by the user's entry of its key (the
// catalogue key for the shapes the catalogue knows, else the identifier
// without a trailing date), else by the built-in row of its key; so an entry
// of the same key replaces a built-in row. Immutable once made.
class PriceList {
public:
    struct Entry {
        std::string key; // as the user wrote it
        ModelPricing standard;
        std::optional<ModelPricing> longContext;

        bool operator==(const Entry&) const = default;
    };

    struct Found {
        const ModelPricing* standard = nullptr;
        const ModelPricing* longContext = nullptr; // nothing when the model has no long-context rates
        const Entry* own = nullptr;                // the user's entry it came from, if any
    };

    // The built-in catalogue alone.
    PriceList() = default;
    // The built-in catalogue with these entries over it (of two entries of
    // one key, the first is the one a key match finds).
    explicit PriceList(std::vector<Entry> own);
    // The built-in catalogue standing in for a price file that could not be
    // read: it prices what comes, but stored messages are not priced again
    // with it, so a typo never rewrites the costs of a history.
    static PriceList standingIn();

    std::optional<Found> find(std::string_view identifier) const;
    bool isPriced(std::optional<std::string_view> model) const;
    // One message in US dollars, as ModelPricingCatalog::cost describes.
    double cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
                std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
                std::int64_t cacheCreation1hInputTokens = 0) const;

    // What a stored message records it was priced with: the built-in
    // catalogue's version without entries of the user's, else a number made
    // from that version and every entry, so that any change to the list (or
    // its removal) is a new version.
    std::int64_t version() const { return version_; }
    bool repricesStored() const { return repricesStored_; }
    const std::vector<Entry>& own() const { return own_; }
    // The user's entry that replaces this built-in row, if any.
    const Entry* replacing(const ModelPricingCatalog::Row& row) const;

    // The key an identifier is matched by: the catalogue key for the shapes
    // the catalogue knows, else the identifier with a trailing "-YYYYMMDD" dropped.
    static std::string normalised(std::string_view identifier);

private:
    std::vector<Entry> own_;
    std::map<std::string, std::size_t, std::less<>> exact_;
    std::map<std::string, std::size_t, std::less<>> byKey_;
    std::int64_t version_ = ModelPricingCatalog::version;
    bool repricesStored_ = true;
};

} // namespace tallyglass
