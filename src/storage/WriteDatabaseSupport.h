#pragma once

#include "core/MessageInsert.h"

#include <sqlite3.h>

#include <functional>
#include <string>

// Shared by the writer's translation units; not part of its interface.
namespace tallyglass::WriteDatabaseSupport {

inline constexpr const char* messagesInfo = "PRAGMA table_info(messages);";

// The message with every count held to what a real request can carry; the
// first time one needs it is logged, once for the process.
MessageInsert boundedCounts(const MessageInsert& m);

// This machine's host name, "unknown" when it has none.
std::string hostName();

// Runs a transaction body; on any failure rolls back (ignoring the rollback's
// own failure) and passes the first error on.
template <typename Body>
inline void inTransaction(sqlite3* db, const std::function<void(const char*)>& exec, Body&& body)
{
    exec("BEGIN TRANSACTION;");
    try {
        body();
        exec("COMMIT;");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace tallyglass::WriteDatabaseSupport
