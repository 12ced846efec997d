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

// The parts of a model identifier, in any of the shapes the API has used
// (words in any ASCII case, numbers in ASCII digits; a date is eight digits):
//   claude-<family>-<major>-<minor>[-<digits>]   claude-sonnet-4-5-20250929
//   claude-<family>-<major>[-<date>]             claude-sonnet-4-20250514, claude-opus-5: version <major>.0
//   claude-<major>[-<minor>]-<family>[-<date>]   claude-3-5-sonnet-20241022, claude-3-opus-20240229
// `minor` is empty where the identifier names none (version <major>.0). The
// views point into the identifier.
struct IdentifierParts {
    std::string_view maker;  // "claude", as written
    std::string_view family; // opus, sonnet or haiku, as written
    std::string_view major;
    std::string_view minor;
};
std::optional<IdentifierParts> matchIdentifier(std::string_view identifier);

// The catalogue key of an identifier: "<maker>-<family>-<major>-<minor>", in
// the identifier's own case, so that claude-3-5-sonnet-20241022 and
// claude-sonnet-3-5 are one model; nothing when it has none of the shapes.
std::optional<std::string> catalogueKey(std::string_view identifier);

// The names that stand for no model of the price list: "Other" for an
// identifier of no known shape (or none), "Synthetic" for the messages Claude
// Code writes itself (model "<synthetic>": an error or a cancelled turn said
// in the transcript, with no usage).
inline constexpr std::string_view otherName = "Other";
inline constexpr std::string_view syntheticName = "Synthetic";

// "Opus 4.6" for claude-opus-4-6, "Sonnet 4.0" for claude-sonnet-4-20250514,
// "Synthetic" for <synthetic>; "Other" for anything else.
std::string displayName(std::optional<std::string_view> identifier);

// Whether a display name is one of those stand-ins. A row of no tokens under
// such a name says nothing, so tables and charts leave it out.
bool isStandIn(std::string_view displayName);

// Haiku names first, then Sonnet, then Opus, then the rest; within a family,
// descending text order (newest first). Stable.
std::vector<std::string> sortedKeys(std::vector<std::string> names);

// One entry per name, in the order given: first name of a family at 1.0, then
// 0.75, 0.5 and 0.4 for every further one.
std::vector<PaletteEntry> palette(const std::vector<std::string>& names);

// 0 Haiku, 1 Sonnet, 2 Opus, 3 anything else.
int rank(std::string_view displayName);

} // namespace tallyglass::ModelMapper
