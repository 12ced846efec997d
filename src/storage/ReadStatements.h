#pragma once

#include "core/Bounds.h"
#include "core/SharedText.h"
#include "storage/DBError.h"
#include "storage/DashboardMessage.h"
#include "storage/SqliteStatement.h"

#include <sqlite3.h>

#include <string>

// What every read of DatabaseClient does with SQLite's answers: a statement
// that cannot be prepared or a step that fails is a DBError.
namespace tallyglass::ReadStatements {

inline SqliteStatement prepareOrThrow(sqlite3* db, const char* sql)
{
    SqliteStatement statement;
    if (SqliteStatement::prepare(db, sql, statement) != SQLITE_OK)
        throw DBError(DBError::Kind::prepareFailed, sqlite3_errmsg(db), sqlite3_extended_errcode(db));
    return statement;
}

[[noreturn]] inline void throwStep(sqlite3* db)
{
    throw DBError(DBError::Kind::stepFailed, sqlite3_errmsg(db), sqlite3_extended_errcode(db));
}

// Whether a table (and, when named, its column) exists: a file no writer of
// this version has opened yet lacks what later versions added.
inline bool hasSchema(sqlite3* db, const char* table, const char* column = nullptr)
{
    SqliteStatement statement = prepareOrThrow(db, column ? "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2;"
                                                          : "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1;");
    statement.bindText(1, table);
    if (column)
        statement.bindText(2, column);
    const int rc = statement.step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throwStep(db);
    return rc == SQLITE_ROW;
}

// The columns a message is read from, machine last; a file no writer of this
// version has opened yet has no machine and reads as machine "".
inline std::string messageColumns(sqlite3* db)
{
    return std::string("timestamp, sessionId, model, inputTokens, outputTokens, cacheCreationInputTokens, "
                       "cacheReadInputTokens, isSubagent, cost, ")
        + (hasSchema(db, "messages", "machine") ? "machine" : "''");
}

// A message as the full report sees it, from the columns of messageColumns
// starting at `first`, its time already read from the first of them. Files
// written before counts were bounded may hold anything: they are read bounded.
// `machine` is the one of the row before: nearly always the same, so compared
// rather than looked up.
inline DashboardMessage messageOf(const SqliteStatement& statement, int first, Instant timestamp, TextInterner& intern,
                                  SharedText& machine)
{
    if (const auto text = statement.text(first + 9).value_or(""); text != machine.view())
        machine = intern(text);
    return {timestamp,
            intern(statement.text(first + 1).value_or("")),
            intern(statement.text(first + 2).value_or("")),
            Bounds::tokens(statement.int64(first + 3)),
            Bounds::tokens(statement.int64(first + 4)),
            Bounds::tokens(statement.int64(first + 5)),
            Bounds::tokens(statement.int64(first + 6)),
            statement.int64(first + 7) != 0,
            statement.real(first + 8),
            machine};
}

} // namespace tallyglass::ReadStatements
