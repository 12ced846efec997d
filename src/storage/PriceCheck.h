#pragma once

#include "storage/SqliteStatement.h"

#include <sqlite3.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Whether every stored message is priced with the list in use, told without
// reading them all. A writer that found them all priced with one version
// leaves "<version> <rowid> <seq>" in app_state: the largest row number and
// change number (message_changes) when it looked. What can have been priced
// otherwise since is only a row numbered past it or a row named in
// message_changes after it, whoever wrote it: the triggers that fill that
// table are the file's own, so an older build's writes are named there too.
// The writer's and the readers' connections both ask it.
namespace tallyglass::PriceCheck {

inline constexpr const char* key = "prices.checked";

struct Mark {
    std::int64_t version = 0;
    std::int64_t rowid = 0;
    std::int64_t seq = 0;
};

inline std::string text(const Mark& mark)
{
    return std::to_string(mark.version) + ' ' + std::to_string(mark.rowid) + ' ' + std::to_string(mark.seq);
}

inline std::optional<Mark> parse(std::string_view text)
{
    Mark mark;
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    for (std::int64_t* field : {&mark.version, &mark.rowid, &mark.seq}) {
        if (field != &mark.version) {
            if (at == end || *at != ' ')
                return std::nullopt;
            ++at;
        }
        const auto [next, error] = std::from_chars(at, end, *field);
        if (error != std::errc{})
            return std::nullopt;
        at = next;
    }
    return at == end ? std::optional(mark) : std::nullopt;
}

// The mark to leave for `version` as the file is now; nothing when it cannot be read.
inline std::optional<Mark> now(sqlite3* db, std::int64_t version)
{
    SqliteStatement statement;
    if (SqliteStatement::prepare(db, "SELECT (SELECT COALESCE(MAX(rowid), 0) FROM messages), "
                                     "(SELECT COALESCE(MAX(seq), 0) FROM message_changes);", statement) != SQLITE_OK
        || statement.step() != SQLITE_ROW)
        return std::nullopt;
    return Mark{version, statement.int64(0), statement.int64(1)};
}

// True when every message is priced with `version`, false when one is not;
// nothing when the mark cannot tell (none, another version's, or changes made
// since it are no longer all kept): then only reading every message can.
inline std::optional<bool> allPricedWith(sqlite3* db, std::int64_t version)
{
    SqliteStatement state;
    if (SqliteStatement::prepare(db, "SELECT (SELECT value FROM app_state WHERE key = ?1), "
                                     "(SELECT COALESCE(MIN(seq), 0) FROM message_changes), "
                                     "(SELECT COALESCE(MAX(seq), 0) FROM message_changes);", state) != SQLITE_OK)
        return std::nullopt;
    state.bindText(1, key);
    if (state.step() != SQLITE_ROW)
        return std::nullopt;
    const auto stored = state.text(0);
    const auto mark = stored ? parse(*stored) : std::nullopt;
    // The table keeps the newest few thousand changes: an older one may be gone.
    if (!mark || mark->version != version || (state.int64(2) > mark->seq && state.int64(1) > mark->seq + 1))
        return std::nullopt;
    SqliteStatement since;
    if (SqliteStatement::prepare(db, "SELECT EXISTS (SELECT 1 FROM messages WHERE rowid > ?1 AND pricedWith <> ?3) "
                                     "OR EXISTS (SELECT 1 FROM message_changes c JOIN messages m ON m.rowid = c.messageRow "
                                     "WHERE c.seq > ?2 AND m.pricedWith <> ?3);", since) != SQLITE_OK)
        return std::nullopt;
    since.bindInt64(1, mark->rowid);
    since.bindInt64(2, mark->seq);
    since.bindInt64(3, version);
    if (since.step() != SQLITE_ROW)
        return std::nullopt;
    return since.int64(0) == 0;
}

} // namespace tallyglass::PriceCheck
