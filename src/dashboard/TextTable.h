#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tallyglass {

// A plain-text table for a terminal: columns padded to their widest cell, two
// spaces apart, figures to the right. Given a width, the columns that may
// shrink (identifiers, paths) give up characters until the table fits (in
// their order, the widest of an order first), and
// their cells are shortened with "…" (paths keep their end, the part people
// recognise). Where that is not enough, the columns that may be dropped go,
// one at a time, until it fits. Widths count characters, not bytes.
//
// Cells are given as the real text: session ids, folders and model identifiers
// come from outside, and the table shows every cell as Printable::escaped
// shows it, measured as shown. Headers and wrapped paragraphs are our own words.
class TextTable {
public:
    enum class Shrink { never, keepStart, keepEnd };

    struct Column {
        std::string header;
        bool right = false;
        Shrink shrink = Shrink::never;
        std::size_t minimum = 8; // a shrinking column never gets narrower than this
        int order = 0;           // lower gives way first, down to its minimum, before the next
        int drop = 0;            // 0: always shown; else left out, lowest first, when shrinking cannot make it fit
    };

    explicit TextTable(std::vector<Column> columns, std::size_t indent = 0);

    void add(std::vector<std::string> cells);
    // A line across the table before the next row (under the header and above a total).
    void rule();
    std::string render(std::size_t width) const;

    static std::size_t length(const std::string& text);
    static std::string shorten(const std::string& text, std::size_t width, Shrink from);
    // `text` (one paragraph, no line breaks) broken at spaces into lines of at most
    // `width` characters, each ending in a line break; lines after the first begin
    // with `indent` spaces. A word longer than a line stands alone. 0: one line.
    static std::string wrap(const std::string& text, std::size_t width, std::size_t indent = 0);

private:
    std::vector<std::size_t> fittedWidths(std::size_t width, std::vector<bool>& shown) const;

    std::vector<Column> columns_;
    std::size_t indent_;
    std::vector<std::vector<std::string>> rows_; // an empty row is a rule
};

} // namespace tallyglass
