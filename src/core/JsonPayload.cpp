#include "core/JsonPayload.h"

#include <charconv>
#include <cstdint>

namespace tallyglass::JsonPayload {

namespace {

// One parser per thread, reused: it keeps its buffers at the size of the
// largest document seen, so steady-state parsing allocates nothing.
simdjson::dom::parser& threadParser()
{
    thread_local simdjson::dom::parser parser;
    return parser;
}

std::string& threadScratch()
{
    thread_local std::string scratch;
    return scratch;
}

bool parseWithRetry(const char* data, std::size_t size, bool padded, simdjson::dom::object& out)
{
    auto& parser = threadParser();
    simdjson::dom::element root;
    auto error = parser.parse(data, size, !padded).get(root);
    if (error == simdjson::NUMBER_ERROR) {
        std::string& scratch = threadScratch();
        if (!rewriteLongIntegers({data, size}, scratch))
            return false;
        const std::size_t length = scratch.size();
        scratch.resize(length + simdjson::SIMDJSON_PADDING, '\0');
        error = parser.parse(scratch.data(), length, false).get(root);
    }
    if (error)
        return false;
    return !root.get_object().get(out);
}

// Whether an integer literal fits int64, or uint64 when it is not negative:
// those the parser reads as they are and must keep reading so.
bool fitsSixtyFourBits(std::string_view literal)
{
    const char* first = literal.data();
    const char* last = first + literal.size();
    std::int64_t asSigned = 0;
    if (auto [ptr, ec] = std::from_chars(first, last, asSigned); ec == std::errc{} && ptr == last)
        return true;
    std::uint64_t asUnsigned = 0;
    auto [ptr, ec] = std::from_chars(first, last, asUnsigned);
    return literal.front() != '-' && ec == std::errc{} && ptr == last;
}

} // namespace

bool parsePaddedObject(const char* data, std::size_t size, simdjson::dom::object& out)
{
    return parseWithRetry(data, size, true, out);
}

bool rewriteLongIntegers(std::string_view line, std::string& out)
{
    out.clear();
    out.reserve(line.size() + 32);
    bool inString = false;
    bool changed = false;
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (inString) {
            out.push_back(c);
            if (c == '\\' && i + 1 < line.size()) {
                out.push_back(line[i + 1]);
                i += 2;
                continue;
            }
            if (c == '"')
                inString = false;
            ++i;
            continue;
        }
        if (c == '"') {
            inString = true;
            out.push_back(c);
            ++i;
            continue;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            // The whole number token: a fraction or exponent belongs to it and is
            // never read as an integer of its own.
            const auto digitsFrom = [&](std::size_t at) {
                while (at < line.size() && line[at] >= '0' && line[at] <= '9')
                    ++at;
                return at;
            };
            const std::size_t digitsStart = i + (c == '-' ? 1 : 0);
            std::size_t end = digitsFrom(digitsStart);
            const std::size_t integerDigits = end - digitsStart;
            bool plainInteger = true;
            if (end < line.size() && line[end] == '.') {
                plainInteger = false;
                end = digitsFrom(end + 1);
            }
            if (end < line.size() && (line[end] == 'e' || line[end] == 'E')) {
                plainInteger = false;
                ++end;
                if (end < line.size() && (line[end] == '+' || line[end] == '-'))
                    ++end;
                end = digitsFrom(end);
            }
            out.append(line.substr(i, end - i));
            if (plainInteger && integerDigits >= 19 && !fitsSixtyFourBits(line.substr(i, end - i))) {
                out.append(".0");
                changed = true;
            }
            i = end;
            continue;
        }
        out.push_back(c);
        ++i;
    }
    return changed;
}

} // namespace tallyglass::JsonPayload
