#include "pricing/ModelMapper.h"

#include <algorithm>
#include <array>

namespace tallyglass::ModelMapper {

namespace {

constexpr std::array<std::string_view, 3> familyOrder = {"Haiku", "Sonnet", "Opus"};

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Case-insensitive (ASCII) comparison of a prefix of `s` with a lower-case word.
bool consumeWord(std::string_view& s, std::string_view lowerWord)
{
    if (s.size() < lowerWord.size())
        return false;
    for (std::size_t i = 0; i < lowerWord.size(); ++i) {
        if (asciiLower(s[i]) != lowerWord[i])
            return false;
    }
    s.remove_prefix(lowerWord.size());
    return true;
}

bool consumeDigits(std::string_view& s, std::string_view& digits)
{
    std::size_t n = 0;
    while (n < s.size() && isDigit(s[n]))
        ++n;
    if (n == 0)
        return false;
    digits = s.substr(0, n);
    s.remove_prefix(n);
    return true;
}

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

std::string_view baseNameFor(std::string_view displayName)
{
    if (startsWith(displayName, "Haiku"))
        return "cyan";
    if (startsWith(displayName, "Sonnet"))
        return "green";
    if (startsWith(displayName, "Opus"))
        return "orange";
    return "gray";
}

bool consumeFamily(std::string_view& s, std::string_view& family)
{
    const std::string_view start = s;
    for (const std::string_view word : {std::string_view("opus"), std::string_view("sonnet"), std::string_view("haiku")}) {
        if (consumeWord(s, word)) {
            family = start.substr(0, word.size());
            return true;
        }
    }
    return false;
}

bool isDate(std::string_view digits)
{
    return digits.size() == 8;
}

} // namespace

// Matched by hand, not by a regular expression: this runs once per message on
// imports and redraws, where a regex engine per call costs more than the rest
// of the work together. A test checks it against the expressions.
std::optional<IdentifierParts> matchIdentifier(std::string_view s)
{
    IdentifierParts parts;
    const std::string_view whole = s;
    if (!consumeWord(s, "claude-"))
        return std::nullopt;
    parts.maker = whole.substr(0, 6);
    std::string_view first;
    if (consumeDigits(s, first)) {
        // The Claude 3 order: the version before the family.
        parts.major = first;
        if (!consumeWord(s, "-"))
            return std::nullopt;
        if (consumeDigits(s, parts.minor) && !consumeWord(s, "-"))
            return std::nullopt;
        if (!consumeFamily(s, parts.family))
            return std::nullopt;
        std::string_view date;
        if (s.empty() || (consumeWord(s, "-") && consumeDigits(s, date) && isDate(date) && s.empty()))
            return parts;
        return std::nullopt;
    }
    if (!consumeFamily(s, parts.family) || !consumeWord(s, "-") || !consumeDigits(s, parts.major))
        return std::nullopt;
    if (s.empty())
        return parts; // claude-opus-5: version 5.0
    std::string_view second;
    if (!consumeWord(s, "-") || !consumeDigits(s, second))
        return std::nullopt;
    if (s.empty()) {
        // A second number of eight digits is a date, not a minor version.
        if (!isDate(second))
            parts.minor = second;
        return parts;
    }
    parts.minor = second;
    std::string_view suffix;
    if (!consumeWord(s, "-") || !consumeDigits(s, suffix) || !s.empty())
        return std::nullopt;
    return parts;
}

std::optional<std::string> catalogueKey(std::string_view identifier)
{
    const auto parts = matchIdentifier(identifier);
    if (!parts)
        return std::nullopt;
    std::string key;
    key.reserve(parts->maker.size() + parts->family.size() + parts->major.size() + parts->minor.size() + 4);
    key.append(parts->maker).append("-").append(parts->family).append("-").append(parts->major).append("-");
    key.append(parts->minor.empty() ? std::string_view("0") : parts->minor);
    return key;
}

std::string displayName(std::optional<std::string_view> identifier)
{
    if (!identifier || identifier->empty())
        return std::string(otherName);
    if (*identifier == "<synthetic>")
        return std::string(syntheticName);
    const auto parts = matchIdentifier(*identifier);
    if (!parts)
        return std::string(otherName);
    std::string name;
    name.reserve(parts->family.size() + parts->major.size() + parts->minor.size() + 3);
    for (std::size_t i = 0; i < parts->family.size(); ++i) {
        const char lower = asciiLower(parts->family[i]);
        name.push_back(i == 0 ? static_cast<char>(lower - 'a' + 'A') : lower);
    }
    name.push_back(' ');
    name.append(parts->major);
    name.push_back('.');
    name.append(parts->minor.empty() ? std::string_view("0") : parts->minor);
    return name;
}

bool isStandIn(std::string_view displayName)
{
    return displayName == otherName || displayName == syntheticName;
}

int rank(std::string_view displayName)
{
    for (std::size_t i = 0; i < familyOrder.size(); ++i) {
        if (startsWith(displayName, familyOrder[i]))
            return static_cast<int>(i);
    }
    return static_cast<int>(familyOrder.size());
}

std::vector<std::string> sortedKeys(std::vector<std::string> names)
{
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int ra = rank(a);
        const int rb = rank(b);
        if (ra != rb)
            return ra < rb;
        return a > b; // std::string compares bytes, which for UTF-8 is code-point order
    });
    return names;
}

std::vector<PaletteEntry> palette(const std::vector<std::string>& names)
{
    std::array<int, 4> seen{}; // cyan, green, orange, gray
    std::vector<PaletteEntry> entries;
    entries.reserve(names.size());
    for (const std::string& name : names) {
        const std::string_view base = baseNameFor(name);
        const auto slot = static_cast<std::size_t>(base == "cyan" ? 0 : base == "green" ? 1 : base == "orange" ? 2 : 3);
        const double opacity = std::max(1.0 - 0.25 * seen[slot], 0.4);
        ++seen[slot];
        entries.push_back({name, std::string(base), opacity});
    }
    return entries;
}

} // namespace tallyglass::ModelMapper
