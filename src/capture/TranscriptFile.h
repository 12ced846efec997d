#pragma once

#include "capture/TranscriptMarks.h"

#include <cstdint>
#include <optional>
#include <string>

struct stat;

namespace tallyglass {

class TranscriptReader;

// Reading a transcript from where it was left: shared by live capture and the
// imports, so that both resume, and refuse to resume, alike.
namespace TranscriptFile {

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO from hanging the
// open; fstat then refuses anything that is not a regular file, including a
// path swapped for something else between a check and the open. -1 (errno
// set, EINVAL for "not a regular file") when it cannot be read.
int openRegular(const std::string& path, struct stat& info);

TranscriptMarks::FileState stateOf(const struct stat& info);

// Bytes [offset, offset + length) of the file, fewer when it is shorter.
std::string bytesAt(int fd, std::uint64_t offset, std::size_t length);
std::string headOf(int fd, std::uint64_t size);
std::string tailBefore(int fd, std::uint64_t offset);

struct Start {
    std::uint64_t offset = 0; // where to read from
    std::string head;         // the file's first bytes, for the marks to come
    bool nothingNew = false;  // everything up to the end is read (or a long line is still unfinished)
};

// Resumes at the mark only where the file still starts, and still runs up to
// the mark, as it did when the mark was made; anything else is read whole.
Start startOf(int fd, const TranscriptMarks::FileState& state, const std::optional<TranscriptMark>& mark,
              TranscriptReader& reader);

} // namespace TranscriptFile

} // namespace tallyglass
