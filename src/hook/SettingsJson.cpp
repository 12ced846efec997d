#include "hook/SettingsJson.h"

#include <charconv>
#include <system_error>
#include <vector>

namespace tallyglass::SettingsJson {

namespace {

using json = nlohmann::json;

// The text of every number in valid JSON, in the order the parser meets them.
// Outside strings only numbers hold a digit or a minus sign.
std::vector<std::string_view> numberTexts(std::string_view text)
{
    constexpr std::string_view numberCharacters = "0123456789+-.eE";
    std::vector<std::string_view> numbers;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\')
                    ++i;
            }
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const std::size_t start = i;
            while (i < text.size() && numberCharacters.find(text[i]) != std::string_view::npos)
                ++i;
            numbers.push_back(text.substr(start, i - start));
        } else {
            ++i;
        }
    }
    return numbers;
}

// The library refuses a number beyond the range of a double: the parser gets a
// 0 of the same width in its place, so that the line and column of any fault
// stay right, and the number keeps its text all the same.
std::string withinRange(std::string_view text, const std::vector<std::string_view>& numbers)
{
    std::string parsable(text);
    for (const std::string_view number : numbers) {
        double value = 0;
        if (std::from_chars(number.data(), number.data() + number.size(), value).ec != std::errc::result_out_of_range)
            continue;
        const auto at = static_cast<std::size_t>(number.data() - text.data());
        parsable.replace(at, number.size(), "0" + std::string(number.size() - 1, ' '));
    }
    return parsable;
}

void appendIndent(std::string& out, int depth)
{
    out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

// As nlohmann's dump(2) writes, but a number held as text is written as it is.
void append(const json& value, int depth, std::string& out)
{
    if (value.is_binary()) {
        const json::binary_t& text = value.get_binary();
        out.append(text.begin(), text.end());
        return;
    }
    if (!value.is_structured() || value.empty()) {
        out += value.dump();
        return;
    }
    out += value.is_object() ? "{\n" : "[\n";
    for (auto it = value.begin(); it != value.end(); ++it) {
        if (it != value.begin())
            out += ",\n";
        appendIndent(out, depth + 1);
        if (value.is_object()) {
            out += json(it.key()).dump();
            out += ": ";
        }
        append(*it, depth + 1, out);
    }
    out += '\n';
    appendIndent(out, depth);
    out += value.is_object() ? '}' : ']';
}

} // namespace

json parse(std::string_view text)
{
    const std::vector<std::string_view> numbers = numberTexts(text);
    std::size_t next = 0;
    // The parser hands every value to this callback before storing it, in the
    // order of the text, and stores what the callback leaves.
    const json::parser_callback_t keepNumberText = [&](int, json::parse_event_t event, json& parsed) {
        if (event != json::parse_event_t::value || !parsed.is_number() || next >= numbers.size())
            return true;
        const std::string_view written = numbers[next++];
        if (parsed.dump() != written)
            parsed = json::binary(json::binary_t::container_type(written.begin(), written.end()));
        return true;
    };
    return json::parse(withinRange(text, numbers), keepNumberText);
}

std::string serialise(const json& settings)
{
    std::string text;
    append(settings, 0, text);
    // JSON has no "/" outside strings, so escaping every one escapes exactly
    // those inside strings, as the settings have always been written.
    std::string escaped;
    escaped.reserve(text.size() + 32);
    for (const char c : text) {
        if (c == '/')
            escaped += "\\/";
        else
            escaped += c;
    }
    escaped += '\n';
    return escaped;
}

} // namespace tallyglass::SettingsJson
