#include "server/OtlpToken.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::OtlpToken {

namespace {

constexpr std::size_t randomBytes = 32;
constexpr std::size_t shortestToken = 32;
constexpr std::size_t longestFile = 4096;

std::string modeText(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string failure(const std::string& shown, const std::string& what)
{
    return shown + ": " + what;
}

// The existing file's token, or why it cannot be used.
Loaded readExisting(const std::string& path, int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return {{}, failure(path, std::strerror(errno)), false};
    if (!S_ISREG(status.st_mode))
        return {{}, failure(path, "is not a regular file"), false};
    if (status.st_uid != ::geteuid())
        return {{}, failure(path, "belongs to another user; delete it for a new token"), false};
    if ((status.st_mode & 077) != 0)
        return {{},
                failure(path, "can be read by other users (mode " + modeText(status.st_mode)
                                  + "), so its token may not be secret; run `chmod 600` on it to keep it, or delete it for a new one"),
                false};
    std::string text(longestFile + 1, '\0');
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t n = ::read(fd, text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return {{}, failure(path, std::strerror(errno)), false};
        if (n == 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    text.resize(have);
    std::string token = trimmed(text);
    if (have > longestFile || !isUsableToken(token))
        return {{}, failure(path, "holds no usable token (at least 32 of the characters A-Z a-z 0-9 - . _ ~ + / =); delete it for a new one"), false};
    return {std::move(token), {}, false};
}

std::optional<std::string> randomHex()
{
    std::array<unsigned char, randomBytes> bytes{};
    std::size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t n = ::getrandom(bytes.data() + have, bytes.size() - have, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        have += static_cast<std::size_t>(n);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return ::fsync(fd) == 0;
}

// The token of the file there, or why it cannot be used; nothing when there is none.
std::optional<Loaded> openExisting(const std::filesystem::path& path, const std::string& shown)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT)
        return std::nullopt;
    if (fd < 0)
        return Loaded{{}, failure(shown, std::strerror(errno)), false};
    Loaded loaded = readExisting(shown, fd);
    ::close(fd);
    return loaded;
}

// Written aside and linked into place, so that no reader ever sees half a
// token and a file that appeared meanwhile is kept rather than replaced.
Loaded create(const std::filesystem::path& path, const std::string& shown)
{
    const auto token = randomHex();
    if (!token)
        return {{}, failure(shown, "no random bytes to make a token from"), false};
    std::string aside = (path.parent_path() / ".otlp-token.XXXXXX").string();
    const int fd = ::mkstemp(aside.data()); // mode 0600
    if (fd < 0)
        return {{}, failure(shown, std::string("cannot be written: ") + std::strerror(errno)), false};
    const bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, *token + "\n");
    int error = errno;
    ::close(fd);
    const bool linked = written && ::link(aside.c_str(), path.c_str()) == 0;
    if (written && !linked)
        error = errno;
    ::unlink(aside.c_str());
    if (linked)
        return {*token, {}, true};
    if (written && error == EEXIST) {
        if (auto existing = openExisting(path, shown))
            return *existing;
    }
    return {{}, failure(shown, std::string("cannot be written: ") + std::strerror(error)), false};
}

} // namespace

bool isUsableToken(const std::string& token)
{
    if (token.size() < shortestToken)
        return false;
    for (const char c : token) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || std::strchr("-._~+/=", c) != nullptr;
        if (!allowed || c == '\0')
            return false;
    }
    return true;
}

Loaded ensure(const std::filesystem::path& path, const std::string& shown)
{
    if (auto existing = openExisting(path, shown))
        return *existing;
    std::error_code ignored;
    std::filesystem::create_directories(path.parent_path(), ignored);
    return create(path, shown);
}

} // namespace tallyglass::OtlpToken
