#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace tallyglass {

// Owns one prepared statement; finalizes it when it goes. Text is always bound
// as transient, so SQLite copies it before the bind call returns. A bind that
// fails (text too big, no such parameter, no memory) is remembered, and the
// next step() returns its code without running: no statement runs with a
// value missing, and every caller's check of step() covers its binds.
class SqliteStatement {
public:
    SqliteStatement() = default;
    explicit SqliteStatement(sqlite3_stmt* statement)
        : statement_(statement)
    {
    }
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // SQLITE_OK and the statement, or the failing result code and no statement.
    static int prepare(sqlite3* db, const char* sql, SqliteStatement& out);

    explicit operator bool() const { return statement_ != nullptr; }

    void resetAndClear();
    void bindText(int index, std::string_view text);
    void bindOptionalText(int index, const std::optional<std::string>& text);
    void bindInt64(int index, std::int64_t value);
    void bindDouble(int index, double value);
    void bindOptionalDouble(int index, std::optional<double> value);
    void bindNull(int index);
    // Bytes, not text: no encoding is assumed (an empty one is an empty blob, never NULL).
    void bindBlob(int index, std::string_view bytes);
    // SQLITE_ROW or SQLITE_DONE, or the failure (a failed bind's first).
    int step();

    bool isNull(int column) const;
    std::optional<std::string_view> text(int column) const; // absent for NULL
    std::int64_t int64(int column) const;
    double real(int column) const;
    std::string blob(int column) const; // empty for NULL

private:
    void noteBind(int rc);

    sqlite3_stmt* statement_ = nullptr;
    int bindFailure_ = 0; // SQLITE_OK
};

} // namespace tallyglass
