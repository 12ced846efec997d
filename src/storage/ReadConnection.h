#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>

struct sqlite3;

namespace tallyglass {

// The read-only connections a DatabaseClient reads app.db through, opened
// without the create flag, so a missing file fails instead of appearing.
//
// One connection is kept for the change probe. A reader that reads often and
// little (the overlay, every few seconds) reads through that same connection
// too, sparing an open, a schema parse and a busy wait per read; a reader of
// the whole history once in a while opens one per read and keeps no cache
// between them. The kept connection belongs to the file it was opened on: a
// file replaced by a fresh one (another inode) is opened afresh, and a file
// that is gone lets it go, so a deleted file's space is not held.
class ReadConnection {
public:
    enum class Keeping { perRead, kept };

    ReadConnection(std::filesystem::path path, Keeping keeping);
    ~ReadConnection();
    ReadConnection(const ReadConnection&) = delete;
    ReadConnection& operator=(const ReadConnection&) = delete;

    // Runs `body` on a read-only connection. A database in a folder the user
    // may only read is read as it stands (SQLite cannot make its shared-memory
    // file there), on a connection of its own. Throws DBError (cannotOpen
    // when there is no file) and whatever `body` throws.
    void read(const std::function<void(sqlite3*)>& body);

    // SQLite's data_version on the kept connection, with the file's inode:
    // a file replaced by a fresh one is a change too. Nothing when there is
    // no file or it cannot be read.
    std::optional<std::int64_t> changeToken();

private:
    // The kept connection for the file now at the path; nullptr when there is none. Under mutex_.
    sqlite3* keptForCurrentFile();
    void dropKept();
    void readOnce(const std::function<void(sqlite3*)>& body);

    const std::filesystem::path path_;
    const Keeping keeping_;
    std::mutex mutex_;
    sqlite3* kept_ = nullptr;
    std::uint64_t keptInode_ = 0;
};

} // namespace tallyglass
