#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace tallyglass {

// Display names by model identifier, worked out once per distinct identifier.
// Aggregations over a whole history see a few dozen identifiers across a
// million rows, and consecutive rows usually share one.
class DisplayNameCache {
public:
    // An empty identifier stands for an absent one: both display as "Other".
    const std::string& operator()(std::string_view identifier);

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::string, Hash, std::equal_to<>> names_;
    const std::string* lastIdentifier_ = nullptr;
    const std::string* lastName_ = nullptr;
};

} // namespace tallyglass
