#include "core/WholeFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::WholeFile {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int error)
{
    std::string reason = std::strerror(error);
    throw Error(what + " " + path.string() + ": " + reason, std::move(reason));
}

// A name nobody else picks: the target's, a random suffix, in its folder.
fs::path temporarySibling(const fs::path& target)
{
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".tmp-%016llx", static_cast<unsigned long long>(random()));
    return target.parent_path() / (target.filename().string() + suffix);
}

// A file that becomes private, or gets its mode later, is never readable by
// others on the way; one without a mode gets 0644 less the umask, which the
// kernel applies (reading the umask would change it for every thread).
int createTemporary(const fs::path& target, bool modeLater, fs::path& temp)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp = temporarySibling(target);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, modeLater ? 0600 : 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Zero, or the errno of the first step that failed.
int fill(int fd, std::string_view bytes, std::optional<unsigned> mode)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0)
        return errno;
    if (mode && ::fchmod(fd, static_cast<mode_t>(*mode)) != 0)
        return errno;
    return 0;
}

// The rename itself reaches the disk with its folder; a folder that cannot
// be synced (some file systems refuse) leaves the rename as the kernel has it.
void syncFolder(const fs::path& folder)
{
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

fs::path finalTarget(const fs::path& path)
{
    std::error_code error;
    fs::path current = path;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(current, error)); ++hops) {
        const fs::path next = fs::read_symlink(current, error);
        if (error)
            break;
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return current;
}

void write(const fs::path& path, std::string_view bytes, std::optional<unsigned> mode)
{
    const fs::path target = finalTarget(path);
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (::access(target.c_str(), W_OK) != 0)
            fail("cannot write", target, errno);
        if (!mode)
            mode = existing.st_mode & 07777;
    }
    fs::path temp;
    const int fd = createTemporary(target, mode.has_value(), temp);
    if (fd < 0)
        fail("cannot write", target, errno);
    int error = fill(fd, bytes, mode);
    if (::close(fd) != 0 && !error)
        error = errno;
    if (error) {
        ::unlink(temp.c_str());
        fail("cannot write", target, error);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
        ::unlink(temp.c_str());
        fail("cannot replace", target, error);
    }
    syncFolder(target.parent_path());
}

} // namespace tallyglass::WholeFile
