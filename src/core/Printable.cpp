#include "core/Printable.h"

#include "core/Utf8.h"

#include <cstdint>

namespace tallyglass::Printable {

namespace {

// Characters above ASCII that are shown escaped: C1 controls, and those that
// reorder (bidirectional formatting) or break (separators) the text around them.
bool isHidden(char32_t c)
{
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E)
        || (c >= 0x2066 && c <= 0x2069);
}

// The end of the run of bytes from `pos` that are shown as they are.
std::size_t plainEnd(std::string_view text, std::size_t pos)
{
    while (pos < text.size()) {
        const auto byte = static_cast<std::uint8_t>(text[pos]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            ++pos;
            continue;
        }
        if (byte < 0x80)
            return pos;
        std::size_t next = pos;
        char32_t c = 0;
        if (!Utf8::decode(text, next, c) || isHidden(c))
            return pos;
        pos = next;
    }
    return pos;
}

void appendHex(std::string& out, std::uint32_t value, int digits)
{
    static constexpr char hex[] = "0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out.push_back(hex[(value >> shift) & 0xF]);
}

// Appends the escape of what starts at `pos` (a byte plainEnd stopped at) and
// returns where the text goes on.
std::size_t appendEscape(std::string& out, std::string_view text, std::size_t pos)
{
    const auto byte = static_cast<std::uint8_t>(text[pos]);
    out.push_back('\\');
    switch (byte) {
    case '\\': out.push_back('\\'); return pos + 1;
    case '\n': out.push_back('n'); return pos + 1;
    case '\r': out.push_back('r'); return pos + 1;
    case '\t': out.push_back('t'); return pos + 1;
    default: break;
    }
    std::size_t next = pos;
    char32_t c = 0;
    if (byte >= 0x80 && Utf8::decode(text, next, c)) {
        out.push_back('u');
        appendHex(out, c, 4);
        return next;
    }
    out.push_back('x');
    appendHex(out, byte, 2);
    return pos + 1;
}

} // namespace

std::string escaped(std::string_view text)
{
    std::size_t at = plainEnd(text, 0);
    if (at == text.size())
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    out.append(text.substr(0, at));
    while (at < text.size()) {
        at = appendEscape(out, text, at);
        const std::size_t end = plainEnd(text, at);
        out.append(text.substr(at, end - at));
        at = end;
    }
    return out;
}

bool isPlain(std::string_view text)
{
    return plainEnd(text, 0) == text.size();
}

} // namespace tallyglass::Printable
