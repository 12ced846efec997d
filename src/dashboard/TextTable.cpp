#include "dashboard/TextTable.h"

#include <algorithm>
#include <numeric>

namespace tallyglass {

TextTable::TextTable(std::vector<Column> columns, std::size_t indent)
    : columns_(std::move(columns))
    , indent_(indent)
{
}

void TextTable::add(std::vector<std::string> cells)
{
    cells.resize(columns_.size());
    rows_.push_back(std::move(cells));
}

void TextTable::rule()
{
    rows_.emplace_back();
}

std::size_t TextTable::length(const std::string& text)
{
    // Code points: what a terminal shows for the texts used here (no wide characters).
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string TextTable::shorten(const std::string& text, std::size_t width, Shrink from)
{
    if (length(text) <= width || from == Shrink::never)
        return text;
    if (width == 0)
        return {};
    // Byte offsets of each code point.
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    const std::size_t keep = width - 1;
    if (keep == 0)
        return "\u2026";
    if (from == Shrink::keepStart)
        return text.substr(0, starts[keep]) + "\u2026";
    return "\u2026" + text.substr(starts[starts.size() - keep]);
}

std::string TextTable::render(std::size_t width) const
{
    std::vector<std::size_t> widths(columns_.size());
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        widths[c] = length(columns_[c].header);
        for (const auto& row : rows_)
            if (!row.empty())
                widths[c] = std::max(widths[c], length(row[c]));
    }
    const auto total = [&] { return indent_ + std::accumulate(widths.begin(), widths.end(), std::size_t{0}) + 2 * (widths.size() - 1); };
    if (width > 0) {
        // A character at a time: from the first order that can still give one, its widest column.
        while (total() > width) {
            std::size_t widest = columns_.size();
            for (std::size_t c = 0; c < columns_.size(); ++c) {
                if (columns_[c].shrink == Shrink::never || widths[c] <= columns_[c].minimum)
                    continue;
                if (widest == columns_.size() || columns_[c].order < columns_[widest].order
                    || (columns_[c].order == columns_[widest].order && widths[c] > widths[widest]))
                    widest = c;
            }
            if (widest == columns_.size())
                break; // as narrow as it goes
            --widths[widest];
        }
    }
    std::string out;
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text(indent_, ' ');
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            const std::string cell = shorten(cells[c], widths[c], columns_[c].shrink);
            const std::string padding(widths[c] - std::min(widths[c], length(cell)), ' ');
            text += columns_[c].right ? padding + cell : cell + (c + 1 < columns_.size() ? padding : "");
            if (c + 1 < columns_.size())
                text += "  ";
        }
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        out += text + "\n";
    };
    std::vector<std::string> header;
    for (const Column& column : columns_)
        header.push_back(column.header);
    line(header);
    for (const auto& row : rows_) {
        if (row.empty()) {
            std::string rule(indent_, ' ');
            for (std::size_t i = indent_; i < total(); ++i)
                rule += "\u2500";
            out += rule + "\n";
        } else {
            line(row);
        }
    }
    return out;
}

} // namespace tallyglass
