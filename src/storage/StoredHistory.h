#pragma once

#include "storage/DashboardMessage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tallyglass {

// How far a reader's copy of the stored history reaches: the last row it
// read, the last rewrite of a row it knows of, and the file it read them
// from. Not `exact` when the copy cannot be brought forward by rows alone
// (a row was left out only until its time comes, or the database cannot
// tell what was rewritten): then only a whole read brings it up to date.
struct HistoryMark {
    std::int64_t lastRow = 0;
    std::int64_t lastChange = 0;
    std::string file; // the file's own name for itself, made by the writer
    bool exact = false;

    bool operator==(const HistoryMark&) const = default;
};

// The assistant messages in time order, with each one's row in the file.
struct StoredHistory {
    std::vector<DashboardMessage> messages;
    std::vector<std::int64_t> rows; // empty when the database has no rows to name
    HistoryMark mark;
};

// What changed since a mark: the rows the copy must drop (rewritten or
// deleted), then the rows to add (new ones, and the rewritten ones as they
// now stand), oldest first.
struct HistoryChanges {
    std::vector<std::int64_t> dropped; // ascending
    std::vector<DashboardMessage> messages;
    std::vector<std::int64_t> rows;
    HistoryMark mark;
};

} // namespace tallyglass
