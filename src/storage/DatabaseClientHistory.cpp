#include "storage/DatabaseClient.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/SharedText.h"
#include "core/UtcCalendar.h"
#include "storage/ReadStatements.h"

#include <sqlite3.h>

#include <algorithm>

// The whole history with its rows, and what changed since a reader last read it.
namespace tallyglass {

namespace {

using ReadStatements::hasSchema;
using ReadStatements::prepareOrThrow;
using ReadStatements::throwStep;

std::string historyColumns(sqlite3* db)
{
    return "SELECT rowid, " + ReadStatements::messageColumns(db) + " FROM messages WHERE role = 'assistant' AND ";
}

// More rewritten rows than this are read faster all over again than one by one.
constexpr std::size_t mostRowsReadAgain = 2000;

// Reads one statement's rows of historyColumns. A row whose time is too late
// for now is left out and makes the copy inexact: it counts once its time comes.
struct RowReader {
    Instant latest;
    TextInterner intern;
    SharedText machine;
    bool leftOutUntilLater = false;

    void read(sqlite3* db, SqliteStatement& statement, std::vector<DashboardMessage>& messages,
              std::vector<std::int64_t>& rows)
    {
        int rc;
        while ((rc = statement.step()) == SQLITE_ROW) {
            const auto text = statement.text(1);
            const auto timestamp = text ? IsoTime::parse(*text) : std::nullopt;
            if (!timestamp || !Bounds::isPossibleMessageTime(*timestamp, latest)) {
                leftOutUntilLater = leftOutUntilLater || (timestamp && *timestamp > latest);
                continue;
            }
            rows.push_back(statement.int64(0));
            messages.push_back(ReadStatements::messageOf(statement, 1, *timestamp, intern, machine));
        }
        if (rc != SQLITE_DONE)
            throwStep(db);
    }
};

std::int64_t singleNumber(sqlite3* db, const char* sql)
{
    SqliteStatement statement = prepareOrThrow(db, sql);
    if (statement.step() != SQLITE_ROW)
        throwStep(db);
    return statement.int64(0);
}

// One read transaction around the body: the rows, the last row and the last
// change must all come from the same moment of the file.
template <typename Body>
void inOneSnapshot(sqlite3* db, Body&& body)
{
    if (sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK)
        throwStep(db);
    try {
        body();
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        throw;
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
}

// The name the writer gave the file when it first opened it; empty in a file
// no writer of this version has opened.
std::string fileIdentity(sqlite3* db)
{
    if (!hasSchema(db, "app_state"))
        return {};
    SqliteStatement statement = prepareOrThrow(db, "SELECT value FROM app_state WHERE key = 'messages.file';");
    const int rc = statement.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throwStep(db);
    return rc == SQLITE_ROW ? std::string(statement.text(0).value_or("")) : std::string();
}

// Rows in time order, the earlier row first among equal times, as the index gives them.
void sortByTime(std::vector<DashboardMessage>& messages, std::vector<std::int64_t>& rows)
{
    std::vector<std::size_t> order(messages.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return std::tie(messages[a].timestamp, rows[a]) < std::tie(messages[b].timestamp, rows[b]);
    });
    std::vector<DashboardMessage> sortedMessages;
    std::vector<std::int64_t> sortedRows;
    sortedMessages.reserve(order.size());
    sortedRows.reserve(order.size());
    for (const std::size_t i : order) {
        sortedMessages.push_back(std::move(messages[i]));
        sortedRows.push_back(rows[i]);
    }
    messages = std::move(sortedMessages);
    rows = std::move(sortedRows);
}

} // namespace

StoredHistory DatabaseClient::fetchHistory()
{
    const Instant latest = latestMessageTime();
    StoredHistory history;
    connection_.read([&](sqlite3* db) {
        history = {};
        if (!hasSchema(db, "messages"))
            return;
        inOneSnapshot(db, [&] {
            history.mark.file = fileIdentity(db);
            const bool logged = hasSchema(db, "message_changes") && !history.mark.file.empty();
            history.mark.lastChange = logged ? singleNumber(db, "SELECT COALESCE(MAX(seq), 0) FROM message_changes;") : 0;
            history.mark.lastRow = singleNumber(db, "SELECT COALESCE(MAX(rowid), 0) FROM messages;");
            // The count sizes the lists once: a million rows grown step by step move again and again. An
            // eighth more is room for what a reader that keeps the history adds later (HeldHistory).
            const std::string lower = IsoTime::formatSeconds(UtcCalendar::addDays(Bounds::earliestMessageTime, -1));
            SqliteStatement count = prepareOrThrow(db, "SELECT COUNT(*) FROM messages WHERE role = 'assistant' AND timestamp >= ?1;");
            count.bindText(1, lower);
            if (count.step() == SQLITE_ROW) {
                const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(0, count.int64(0)));
                history.messages.reserve(rows + rows / 8 + 4096);
                history.rows.reserve(rows + rows / 8 + 4096);
            }
            // Texts compare as written; the day before the first possible time lets every offset in.
            SqliteStatement all = prepareOrThrow(db, (historyColumns(db) + "timestamp >= ?1 ORDER BY timestamp ASC;").c_str());
            all.bindText(1, lower);
            RowReader reader{latest, {}, {}, false};
            reader.read(db, all, history.messages, history.rows);
            history.mark.exact = logged && !reader.leftOutUntilLater;
        });
    });
    return history;
}

std::optional<HistoryChanges> DatabaseClient::fetchHistorySince(const HistoryMark& mark)
{
    if (!mark.exact)
        return std::nullopt;
    const Instant latest = latestMessageTime();
    std::optional<HistoryChanges> changes;
    connection_.read([&](sqlite3* db) {
        changes.reset();
        inOneSnapshot(db, [&] {
            if (fileIdentity(db) != mark.file || !hasSchema(db, "message_changes"))
                return;
            HistoryChanges found;
            found.mark = mark;
            found.mark.lastChange = singleNumber(db, "SELECT COALESCE(MAX(seq), 0) FROM message_changes;");
            const std::int64_t firstKept = singleNumber(db, "SELECT COALESCE(MIN(seq), 0) FROM message_changes;");
            // A log begun again, or trimmed past the mark: what changed in between is not known.
            if (found.mark.lastChange < mark.lastChange || (found.mark.lastChange > mark.lastChange && firstKept > mark.lastChange + 1))
                return;
            SqliteStatement changed = prepareOrThrow(db, "SELECT DISTINCT messageRow FROM message_changes WHERE seq > ?1 AND messageRow <= ?2 "
                                                         "ORDER BY messageRow;");
            changed.bindInt64(1, mark.lastChange);
            changed.bindInt64(2, mark.lastRow);
            int rc;
            while ((rc = changed.step()) == SQLITE_ROW)
                found.dropped.push_back(changed.int64(0));
            if (rc != SQLITE_DONE)
                throwStep(db);
            if (found.dropped.size() > mostRowsReadAgain)
                return;
            RowReader reader{latest, {}, {}, false};
            SqliteStatement again = prepareOrThrow(db, (historyColumns(db) + "rowid = ?1;").c_str());
            for (const std::int64_t row : found.dropped) {
                again.resetAndClear();
                again.bindInt64(1, row);
                reader.read(db, again, found.messages, found.rows);
            }
            SqliteStatement added = prepareOrThrow(db, (historyColumns(db) + "rowid > ?1;").c_str());
            added.bindInt64(1, mark.lastRow);
            reader.read(db, added, found.messages, found.rows);
            found.mark.lastRow = std::max(mark.lastRow, singleNumber(db, "SELECT COALESCE(MAX(rowid), 0) FROM messages;"));
            found.mark.exact = !reader.leftOutUntilLater;
            sortByTime(found.messages, found.rows);
            changes = std::move(found);
        });
    });
    return changes;
}

} // namespace tallyglass
