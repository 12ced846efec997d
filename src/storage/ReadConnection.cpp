#include "storage/ReadConnection.h"

#include "storage/DBError.h"
#include "storage/SqliteStatement.h"

#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

// The file as an SQLite URI that promises it will not change while read: the
// only way to read a WAL database in a folder where its -shm file cannot be
// made. Nobody can be writing there anyway, for the same reason.
std::string immutableUri(const std::filesystem::path& path)
{
    std::string uri = "file:";
    for (const char c : path.string()) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri + "?immutable=1";
}

sqlite3* openForReading(const std::string& name, int extraFlags)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(name.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX | extraFlags, nullptr);
    if (rc != SQLITE_OK || !db) {
        std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        if (db)
            sqlite3_close_v2(db);
        throw DBError(DBError::Kind::cannotOpen, std::move(message), code);
    }
    sqlite3_busy_timeout(db, 100);
    return db;
}

bool sharedMemoryRefused(const DBError& error)
{
    return error.primaryCode() == SQLITE_CANTOPEN || error.primaryCode() == SQLITE_READONLY;
}

} // namespace

ReadConnection::ReadConnection(std::filesystem::path path, Keeping keeping)
    : path_(std::move(path))
    , keeping_(keeping)
{
}

ReadConnection::~ReadConnection()
{
    dropKept();
}

void ReadConnection::dropKept()
{
    if (kept_)
        sqlite3_close_v2(kept_);
    kept_ = nullptr;
}

sqlite3* ReadConnection::keptForCurrentFile()
{
    struct stat status{};
    if (::stat(path_.c_str(), &status) != 0) {
        dropKept();
        return nullptr;
    }
    const auto inode = static_cast<std::uint64_t>(status.st_ino);
    if (kept_ && inode != keptInode_)
        dropKept();
    if (!kept_) {
        try {
            kept_ = openForReading(path_.string(), 0);
        } catch (const DBError&) {
            return nullptr;
        }
        keptInode_ = inode;
    }
    return kept_;
}

void ReadConnection::read(const std::function<void(sqlite3*)>& body)
{
    if (keeping_ == Keeping::kept) {
        std::lock_guard lock(mutex_);
        if (sqlite3* db = keptForCurrentFile()) {
            try {
                body(db);
                return;
            } catch (const DBError& error) {
                // A connection that failed is not trusted with the next read.
                dropKept();
                if (!sharedMemoryRefused(error) || ::access(path_.parent_path().c_str(), W_OK) == 0)
                    throw;
                // A folder the user may only read: read below, as it stands.
            } catch (...) {
                dropKept();
                throw;
            }
        }
    }
    readOnce(body);
}

void ReadConnection::readOnce(const std::function<void(sqlite3*)>& body)
{
    bool immutable = false;
    while (true) {
        sqlite3* db = immutable ? openForReading(immutableUri(path_), SQLITE_OPEN_URI) : openForReading(path_.string(), 0);
        try {
            body(db);
            sqlite3_close_v2(db);
            return;
        } catch (const DBError& error) {
            sqlite3_close_v2(db);
            if (immutable || !sharedMemoryRefused(error) || ::access(path_.parent_path().c_str(), W_OK) == 0)
                throw;
            immutable = true;
        } catch (...) {
            sqlite3_close_v2(db);
            throw;
        }
    }
}

std::optional<std::int64_t> ReadConnection::changeToken()
{
    std::lock_guard lock(mutex_);
    sqlite3* db = keptForCurrentFile();
    if (!db)
        return std::nullopt;
    SqliteStatement statement;
    if (SqliteStatement::prepare(db, "PRAGMA data_version;", statement) != SQLITE_OK || statement.step() != SQLITE_ROW)
        return std::nullopt;
    // Both in one number: the inode's low bits above, the version below.
    return static_cast<std::int64_t>((keptInode_ & 0xFFFFFFull) << 38) ^ statement.int64(0);
}

} // namespace tallyglass
