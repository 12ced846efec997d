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

} // namespace

// Matches ^claude-(opus|sonnet|haiku)-(\d+)-(\d+)(?:-\d+)?$ case-insensitively,
// by hand: this runs once per message on imports and redraws, where a regex
// engine per call costs more than the rest of the work together.
std::optional<IdentifierParts> matchIdentifier(std::string_view s)
{
    IdentifierParts parts;
    if (!consumeWord(s, "claude-"))
        return std::nullopt;
    const std::string_view familyStart = s;
    if (consumeWord(s, "opus"))
        parts.family = familyStart.substr(0, 4);
    else if (consumeWord(s, "sonnet"))
        parts.family = familyStart.substr(0, 6);
    else if (consumeWord(s, "haiku"))
        parts.family = familyStart.substr(0, 5);
    else
        return std::nullopt;
    if (!consumeWord(s, "-") || !consumeDigits(s, parts.major) || !consumeWord(s, "-")
        || !consumeDigits(s, parts.minor))
        return std::nullopt;
    if (s.empty())
        return parts;
    std::string_view suffix;
    if (!consumeWord(s, "-") || !consumeDigits(s, suffix) || !s.empty())
        return std::nullopt;
    parts.hasSuffix = true;
    return parts;
}

std::string displayName(std::optional<std::string_view> identifier)
{
    if (!identifier || identifier->empty())
        return "Other";
    const auto parts = matchIdentifier(*identifier);
    if (!parts)
        return "Other";
    std::string name;
    name.reserve(parts->family.size() + parts->major.size() + parts->minor.size() + 2);
    for (std::size_t i = 0; i < parts->family.size(); ++i) {
        const char lower = asciiLower(parts->family[i]);
        name.push_back(i == 0 ? static_cast<char>(lower - 'a' + 'A') : lower);
    }
    name.push_back(' ');
    name.append(parts->major);
    name.push_back('.');
    name.append(parts->minor);
    return name;
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
