#include "core/Utf8.h"

#include <cstdint>

namespace tallyglass::Utf8 {

bool decode(std::string_view s, std::size_t& pos, char32_t& out)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(s[i]); };
    const std::uint8_t b0 = byte(pos);
    if (b0 < 0x80) {
        out = b0;
        ++pos;
        return true;
    }
    std::size_t length = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        out = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        out = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        out = b0 & 0x07;
        min = 0x10000;
    } else {
        return false;
    }
    if (pos + length > s.size())
        return false;
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t b = byte(pos + i);
        if ((b & 0xC0) != 0x80)
            return false;
        out = (out << 6) | (b & 0x3F);
    }
    if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF))
        return false;
    pos += length;
    return true;
}

namespace {

bool isWhiteSpaceOrNewline(char32_t c)
{
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

} // namespace

bool isValid(std::string_view bytes)
{
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        // Runs of ASCII are the common case; skip them eight bytes at a time.
        while (pos + 8 <= bytes.size()) {
            std::uint64_t chunk = 0;
            for (std::size_t i = 0; i < 8; ++i)
                chunk |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(bytes[pos + i])) << (8 * i);
            if (chunk & 0x8080808080808080ULL)
                break;
            pos += 8;
        }
        if (pos >= bytes.size())
            break;
        char32_t c = 0;
        if (!decode(bytes, pos, c))
            return false;
    }
    return true;
}

bool isBlank(std::string_view text)
{
    std::size_t pos = 0;
    while (pos < text.size()) {
        char32_t c = 0;
        if (!decode(text, pos, c) || !isWhiteSpaceOrNewline(c))
            return false;
    }
    return true;
}

} // namespace tallyglass::Utf8
