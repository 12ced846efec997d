#include "capture/TranscriptFile.h"

#include "capture/TranscriptReader.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::TranscriptFile {

int openRegular(const std::string& path, struct stat& info)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISREG(info.st_mode) ? errno : EINVAL;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

TranscriptMarks::FileState stateOf(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
            static_cast<std::uint64_t>(info.st_size),
            static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

std::string bytesAt(int fd, std::uint64_t offset, std::size_t length)
{
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string headOf(int fd, std::uint64_t size)
{
    return bytesAt(fd, 0, static_cast<std::size_t>(std::min<std::uint64_t>(size, TranscriptMarks::headBytes)));
}

std::string tailBefore(int fd, std::uint64_t offset)
{
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(offset, TranscriptMarks::tailBytes));
    return bytesAt(fd, offset - length, length);
}

Start startOf(int fd, const TranscriptMarks::FileState& state, const std::optional<TranscriptMark>& mark,
              TranscriptReader& reader)
{
    const bool resumable = mark && mark->device == state.device && mark->inode == state.inode && mark->offset <= state.size
        && bytesAt(fd, 0, mark->head.size()) == mark->head && tailBefore(fd, mark->offset) == mark->tail;
    if (!resumable)
        return {0, headOf(fd, state.size), false};
    // A head taken while the file was shorter is taken again, whole, to check the file by from now on.
    Start start{mark->offset, mark->head.size() < TranscriptMarks::headBytes ? headOf(fd, state.size) : mark->head,
                mark->offset == state.size};
    // A long line still being written is not read again until its line feed comes.
    if (!start.nothingNew && mark->unterminatedUntil > start.offset
        && !reader.hasLineFeed(fd, mark->unterminatedUntil, state.size))
        start.nothingNew = true;
    return start;
}

} // namespace tallyglass::TranscriptFile
