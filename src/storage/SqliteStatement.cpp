#include "storage/SqliteStatement.h"

#include <sqlite3.h>

#include <utility>

namespace tallyglass {

SqliteStatement::~SqliteStatement()
{
    if (statement_)
        sqlite3_finalize(statement_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr))
    , bindFailure_(std::exchange(other.bindFailure_, SQLITE_OK))
{
}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept
{
    if (this != &other) {
        if (statement_)
            sqlite3_finalize(statement_);
        statement_ = std::exchange(other.statement_, nullptr);
        bindFailure_ = std::exchange(other.bindFailure_, SQLITE_OK);
    }
    return *this;
}

int SqliteStatement::prepare(sqlite3* db, const char* sql, SqliteStatement& out)
{
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (rc != SQLITE_OK || !statement) {
        if (statement)
            sqlite3_finalize(statement);
        out = SqliteStatement();
        return rc == SQLITE_OK ? SQLITE_ERROR : rc;
    }
    out = SqliteStatement(statement);
    return SQLITE_OK;
}

void SqliteStatement::resetAndClear()
{
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
    bindFailure_ = SQLITE_OK;
}

void SqliteStatement::noteBind(int rc)
{
    if (rc != SQLITE_OK && bindFailure_ == SQLITE_OK)
        bindFailure_ = rc;
}

void SqliteStatement::bindText(int index, std::string_view text)
{
    noteBind(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}

void SqliteStatement::bindOptionalText(int index, const std::optional<std::string>& text)
{
    if (text)
        bindText(index, *text);
    else
        bindNull(index);
}

void SqliteStatement::bindInt64(int index, std::int64_t value)
{
    noteBind(sqlite3_bind_int64(statement_, index, value));
}

void SqliteStatement::bindDouble(int index, double value)
{
    noteBind(sqlite3_bind_double(statement_, index, value));
}

void SqliteStatement::bindOptionalDouble(int index, std::optional<double> value)
{
    if (value)
        bindDouble(index, *value);
    else
        bindNull(index);
}

void SqliteStatement::bindBlob(int index, std::string_view bytes)
{
    noteBind(bytes.empty() ? sqlite3_bind_zeroblob(statement_, index, 0)
                           : sqlite3_bind_blob64(statement_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
}

std::string SqliteStatement::blob(int column) const
{
    const void* bytes = sqlite3_column_blob(statement_, column);
    const int size = sqlite3_column_bytes(statement_, column);
    return bytes ? std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size)) : std::string();
}

void SqliteStatement::bindNull(int index)
{
    noteBind(sqlite3_bind_null(statement_, index));
}

int SqliteStatement::step()
{
    if (bindFailure_ != SQLITE_OK)
        return bindFailure_;
    return sqlite3_step(statement_);
}

bool SqliteStatement::isNull(int column) const
{
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

std::optional<std::string_view> SqliteStatement::text(int column) const
{
    const unsigned char* bytes = sqlite3_column_text(statement_, column);
    if (!bytes)
        return std::nullopt;
    const int size = sqlite3_column_bytes(statement_, column);
    return std::string_view(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

std::int64_t SqliteStatement::int64(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

double SqliteStatement::real(int column) const
{
    return sqlite3_column_double(statement_, column);
}

} // namespace tallyglass
