#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tallyglass {

// How far each transcript has been read and stored, so the next event parses
// only what was appended since. A transcript is known by its path, its file
// identity (device and inode), its first bytes and the bytes just before the
// cursor: a file that
// was replaced (inode numbers are reused, so the identity alone cannot tell),
// rewritten or shrunk is read whole again. The oldest entries are forgotten
// beyond `capacity`. Safe to use from several threads.
class TranscriptCursors {
public:
    struct FileIdentity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool operator==(const FileIdentity&) const = default;
    };

    struct Resume {
        std::uint64_t offset = 0;
        std::string head; // the bytes the file must start with
        std::string tail; // the bytes that must precede `offset`
        // The line at `offset` has no line feed up to here (0: not known). A
        // long unfinished line is then not read again until one arrives.
        std::uint64_t unterminatedUntil = 0;
    };

    // How many bytes at the start and before a cursor are remembered and checked.
    static constexpr std::size_t headBytes = 256;
    static constexpr std::size_t tailBytes = 64;

    explicit TranscriptCursors(std::size_t capacity = 1024);

    // Where reading a file of this identity and size may resume, or nothing
    // when it is unknown, of another identity, or shorter than the cursor.
    std::optional<Resume> resumePoint(const std::string& path, FileIdentity identity, std::uint64_t size);

    // Everything before `offset` is stored; `tail` holds the bytes just before it.
    void advance(const std::string& path, FileIdentity identity, std::uint64_t offset, std::string head, std::string tail);

    // The line at the cursor runs on, without a line feed, at least up to `until`.
    void noteUnterminated(const std::string& path, FileIdentity identity, std::uint64_t until);

    std::size_t size() const;

private:
    struct Entry {
        FileIdentity identity;
        std::uint64_t offset = 0;
        std::string head;
        std::string tail;
        std::uint64_t unterminatedUntil = 0;
        std::list<std::string>::iterator age;
    };

    mutable std::mutex mutex_;
    const std::size_t capacity_;
    std::unordered_map<std::string, Entry> entries_;
    std::list<std::string> byAge_; // most recently used first
};

} // namespace tallyglass
