#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct sqlite3;

namespace tallyglass::test {

// A plain SQLite connection of the test's own, to look at (or tamper with) a
// database file independently of the code under test.
class SqlProbe {
public:
    explicit SqlProbe(const std::filesystem::path& path);
    ~SqlProbe();
    SqlProbe(const SqlProbe&) = delete;
    SqlProbe& operator=(const SqlProbe&) = delete;

    void exec(const std::string& sql);
    // Every row, each column as text ("NULL" for NULL), columns joined with '|'.
    std::vector<std::string> rows(const std::string& sql);
    // The single value of a one-row, one-column query.
    std::string value(const std::string& sql);

    sqlite3* handle() { return db_; }

private:
    sqlite3* db_ = nullptr;
};

} // namespace tallyglass::test
