#pragma once

#include <cstdint>
#include <string>

namespace tallyglass {

// How far a transcript has been read and stored, kept with the messages so
// that every later read (live capture, a catch-up, a report) parses only what
// was appended since. The file is known by its path and identity, and checked
// by its first bytes and those just before `offset`: a file replaced, rewritten
// or cut is read whole again. `size` and `modifiedNs` are the file's as it was
// read: a file that still has them holds nothing new.
struct TranscriptMark {
    std::string path;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::uint64_t offset = 0;
    std::string head; // the file's first bytes (up to 256)
    std::string tail; // the bytes just before `offset` (up to 64)
    // The line at `offset` runs on without a line feed at least up to here
    // (0: not known); it is not read again until one arrives.
    std::uint64_t unterminatedUntil = 0;

    bool operator==(const TranscriptMark&) const = default;
};

} // namespace tallyglass
