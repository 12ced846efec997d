#pragma once

#include "core/TranscriptMark.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace tallyglass {

// How far each transcript has been read and stored, shared by live capture
// and every import, so that whoever reads a transcript next parses only what
// was appended since. The marks live in the database (MessageWriter); this is
// their copy in memory, loaded on first use and again after the database was
// replaced. Safe to use from several threads.
class TranscriptMarks {
public:
    // What a file is now, from fstat.
    struct FileState {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::uint64_t size = 0;
        std::int64_t modifiedNs = 0;
    };

    // How many bytes at the start and before a mark are remembered and checked.
    static constexpr std::size_t headBytes = 256;
    static constexpr std::size_t tailBytes = 64;

    using Loader = std::function<std::vector<TranscriptMark>()>;

    // Loads the stored marks unless they are loaded already; a failed load
    // (the database unusable for now) leaves them to be loaded next time.
    void ensureLoaded(const Loader& load);
    // The database was replaced: what is in memory describes another one.
    void invalidate();

    std::optional<TranscriptMark> find(const std::string& path) const;

    // Whether the file is exactly as it was when last read: nothing to read.
    bool unchanged(const std::string& path, const FileState& state) const;

    // Everything before `offset` is stored; returns the mark to keep in the
    // database. A mark further on for the same file (another reader got there
    // first) is kept, so marks never go back.
    TranscriptMark advance(const std::string& path, const FileState& state, std::uint64_t offset, std::string head,
                           std::string tail);

    // The line at the mark runs on, without a line feed, at least up to `until`.
    std::optional<TranscriptMark> noteUnterminated(const std::string& path, const FileState& state, std::uint64_t until);

    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    bool loaded_ = false;
    std::unordered_map<std::string, TranscriptMark> marks_;
};

} // namespace tallyglass
