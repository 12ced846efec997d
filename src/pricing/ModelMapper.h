#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass::ModelMapper {

// Model identifiers to the short names, order and colours every chart and table
// shares, so that a model looks the same wherever it is shown.

struct PaletteEntry {
    std::string displayName;
    std::string baseName; // "cyan", "green", "orange" or "gray"
    double opacity = 1.0; // 0.4...1.0

    bool operator==(const PaletteEntry&) const = default;
};

// The parts of an identifier of the form claude-<family>-<major>-<minor>[-<digits>]
// (family opus, sonnet or haiku in any ASCII case; digits ASCII).
struct IdentifierParts {
    std::string_view family;
    std::string_view major;
    std::string_view minor;
    bool hasSuffix = false;
};
std::optional<IdentifierParts> matchIdentifier(std::string_view identifier);

// "Opus 4.6" for claude-opus-4-6 (a trailing date is dropped); "Other" otherwise.
std::string displayName(std::optional<std::string_view> identifier);

// Haiku names first, then Sonnet, then Opus, then the rest; within a family,
// descending text order (newest first). Stable.
std::vector<std::string> sortedKeys(std::vector<std::string> names);

// One entry per name, in the order given: first name of a family at 1.0, then
// 0.75, 0.5 and 0.4 for every further one.
std::vector<PaletteEntry> palette(const std::vector<std::string>& names);

// 0 Haiku, 1 Sonnet, 2 Opus, 3 anything else.
int rank(std::string_view displayName);

} // namespace tallyglass::ModelMapper
