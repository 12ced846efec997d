#include "dashboard/TextTable.h"

#include "core/Printable.h"

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
    // Escaped before anything is measured, so the columns line up as the terminal shows them.
    for (std::string& cell : cells)
        if (!Printable::isPlain(cell))
            cell = Printable::escaped(cell);
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

std::string TextTable::wrap(const std::string& text, std::size_t width, std::size_t indent)
{
    // The paragraph's own leading spaces stay on its first line.
    const std::size_t lead = std::min(text.find_first_not_of(' '), text.size());
    std::string out;
    std::string line(lead, ' ');
    bool lineHasWord = false;
    for (std::size_t at = lead; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty())
            continue;
        if (lineHasWord && width > 0 && length(line) + 1 + length(word) > width) {
            out += line + "\n";
            line = std::string(indent, ' ') + word;
        } else {
            line += (lineHasWord ? " " : "") + word;
        }
        lineHasWord = true;
    }
    return out + line + "\n";
}

// The widths of the columns at `width` (0: no limit), and which are shown.
std::vector<std::size_t> TextTable::fittedWidths(std::size_t width, std::vector<bool>& shown) const
{
    shown.assign(columns_.size(), true);
    while (true) {
        std::vector<std::size_t> widths(columns_.size(), 0);
        std::size_t count = 0;
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (!shown[c])
                continue;
            ++count;
            widths[c] = length(columns_[c].header);
            for (const auto& row : rows_)
                if (!row.empty())
                    widths[c] = std::max(widths[c], length(row[c]));
        }
        const auto total = [&] {
            return indent_ + std::accumulate(widths.begin(), widths.end(), std::size_t{0}) + 2 * (count - 1);
        };
        if (width == 0)
            return widths;
        // A character at a time: from the first order that can still give one, its widest column.
        while (total() > width) {
            std::size_t widest = columns_.size();
            for (std::size_t c = 0; c < columns_.size(); ++c) {
                if (!shown[c] || columns_[c].shrink == Shrink::never || widths[c] <= columns_[c].minimum)
                    continue;
                if (widest == columns_.size() || columns_[c].order < columns_[widest].order
                    || (columns_[c].order == columns_[widest].order && widths[c] > widths[widest]))
                    widest = c;
            }
            if (widest == columns_.size())
                break; // as narrow as it goes
            --widths[widest];
        }
        std::size_t dropped = columns_.size();
        for (std::size_t c = 0; c < columns_.size(); ++c)
            if (shown[c] && columns_[c].drop > 0
                && (dropped == columns_.size() || columns_[c].drop < columns_[dropped].drop))
                dropped = c;
        if (total() <= width || dropped == columns_.size())
            return widths;
        shown[dropped] = false; // and the others measured again: those that shrank may have room now
    }
}

std::string TextTable::render(std::size_t width) const
{
    std::vector<bool> shown;
    const std::vector<std::size_t> widths = fittedWidths(width, shown);
    std::size_t last = 0; // the last column shown
    std::size_t total = indent_;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        if (shown[c]) {
            total += (total > indent_ ? 2 : 0) + widths[c];
            last = c;
        }
    }
    std::string out;
    const auto line = [&](const std::vector<std::string>& cells) {
        std::string text(indent_, ' ');
        for (std::size_t c = 0; c < columns_.size(); ++c) {
            if (!shown[c])
                continue;
            const std::string cell = shorten(cells[c], widths[c], columns_[c].shrink);
            const std::string padding(widths[c] - std::min(widths[c], length(cell)), ' ');
            text += columns_[c].right ? padding + cell : cell + (c < last ? padding : "");
            if (c < last)
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
            for (std::size_t i = indent_; i < total; ++i)
                rule += "\u2500";
            out += rule + "\n";
        } else {
            line(row);
        }
    }
    return out;
}

} // namespace tallyglass
