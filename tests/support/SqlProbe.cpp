#include "support/SqlProbe.h"

#include <sqlite3.h>

#include <stdexcept>

namespace tallyglass::test {

SqlProbe::SqlProbe(const std::filesystem::path& path)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        throw std::runtime_error("probe cannot open " + path.string());
    sqlite3_busy_timeout(db_, 5000);
}

SqlProbe::~SqlProbe()
{
    sqlite3_close_v2(db_);
}

void SqlProbe::exec(const std::string& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown";
        sqlite3_free(error);
        throw std::runtime_error("probe: " + message + " in " + sql);
    }
}

std::vector<std::string> SqlProbe::rows(const std::string& sql)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("probe: ") + sqlite3_errmsg(db_) + " in " + sql);
    std::vector<std::string> out;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        std::string row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            if (i)
                row += '|';
            const unsigned char* text = sqlite3_column_text(statement, i);
            row += text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(statement, i)))
                        : "NULL";
        }
        out.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE)
        throw std::runtime_error(std::string("probe: ") + sqlite3_errmsg(db_) + " in " + sql);
    return out;
}

std::string SqlProbe::value(const std::string& sql)
{
    const auto all = rows(sql);
    if (all.size() != 1)
        throw std::runtime_error("probe: expected one row from " + sql);
    return all.front();
}

} // namespace tallyglass::test
