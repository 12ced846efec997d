#include "ui/RollingText.h"

#include <algorithm>

namespace tallyglass::RollingText {

namespace {

using namespace Scene;

// The characters of a UTF-8 text, each with its left edge in the box.
struct Glyph {
    std::string text;
    double x = 0;
};

std::vector<Glyph> glyphsOf(const std::string& text, const Rect& box, Align align, const TextWidth& textWidth, const Font& font)
{
    const double width = textWidth(text, font);
    const double start = align == Align::left ? box.x : align == Align::right ? box.right() - width : box.x + (box.width - width) / 2;
    std::vector<Glyph> glyphs;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t end = i + 1;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
        glyphs.push_back({text.substr(i, end - i), start + textWidth(text.substr(0, i), font)});
        i = end;
    }
    return glyphs;
}

// The glyph at column `column` counted from the aligned edge, if the text reaches it.
const Glyph* at(const std::vector<Glyph>& glyphs, std::size_t column, bool fromRight)
{
    if (column >= glyphs.size())
        return nullptr;
    return &glyphs[fromRight ? glyphs.size() - 1 - column : column];
}

Text glyphText(const Text& target, const Glyph& glyph, double offset, double opacity, const TextWidth& textWidth)
{
    Text piece = target;
    piece.text = glyph.text;
    piece.rect = {glyph.x, target.rect.y + offset, textWidth(glyph.text, target.font) + 1, target.rect.height};
    piece.align = Align::left;
    piece.color = target.color.withOpacity(target.color.a * std::clamp(opacity, 0.0, 1.0));
    piece.clip = target.rect;
    return piece;
}

} // namespace

std::vector<Item> layout(const Text& target, const std::string& previous, bool rising, double progress, const TextWidth& textWidth)
{
    if (progress >= 1 || previous == target.text)
        return {target};
    const bool fromRight = target.align == Align::right;
    const auto before = glyphsOf(previous, target.rect, target.align, textWidth, target.font);
    const auto after = glyphsOf(target.text, target.rect, target.align, textWidth, target.font);
    const double travel = target.rect.height * (rising ? 1 : -1);
    std::vector<Item> items;
    for (std::size_t column = 0; column < std::max(before.size(), after.size()); ++column) {
        const Glyph* old = at(before, column, fromRight);
        const Glyph* now = at(after, column, fromRight);
        // A character that stays stands still where the new text puts it.
        if (old && now && old->text == now->text) {
            items.push_back(glyphText(target, *now, 0, 1, textWidth));
            continue;
        }
        if (old)
            items.push_back(glyphText(target, *old, -travel * progress, 1 - progress, textWidth));
        if (now)
            items.push_back(glyphText(target, *now, travel * (1 - progress), progress, textWidth));
    }
    return items;
}

} // namespace tallyglass::RollingText
