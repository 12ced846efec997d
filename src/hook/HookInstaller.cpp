#include "hook/HookInstaller.h"

#include "hook/HookScriptBuilder.h"
#include "hook/HookSettings.h"
#include "hook/SettingsJson.h"

#include <QUuid>

#include <cerrno>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

namespace fs = std::filesystem;

std::string freshTempName(const fs::path& target)
{
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return target.filename().string() + ".tmp-" + uuid.toStdString();
}

std::string describeErrno(int error)
{
    return std::strerror(error);
}

// Writes `bytes` to a temporary sibling of `target`, then renames it over the
// target in one step. The temporary file never outlives the call. Without a
// mode the file gets 0644 less the umask, which the kernel applies: reading
// the umask would mean changing it for every thread of the process.
void replaceAtomically(const fs::path& target, const std::string& bytes, std::optional<mode_t> mode)
{
    const fs::path temp = target.parent_path() / freshTempName(target);
    // A file that becomes private is never readable by others on the way.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode ? 0600 : 0644);
    if (fd < 0)
        throw InstallError("cannot write " + temp.string() + ": " + describeErrno(errno));
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!error && ::fsync(fd) != 0)
        error = errno;
    if (!error && mode && ::fchmod(fd, *mode) != 0)
        error = errno;
    ::close(fd);
    if (!error && ::rename(temp.c_str(), target.c_str()) != 0)
        error = errno;
    ::unlink(temp.c_str()); // gone already after a successful rename
    if (error)
        throw InstallError("cannot replace " + target.string() + ": " + describeErrno(error));
}

// The whole of a regular file; anything else (a directory, a FIFO that would
// never end) is refused with the reason.
std::string readRegularFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw InstallError("cannot read " + path.string() + ": " + describeErrno(errno) + "; it was left as it is");
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw InstallError("cannot read " + path.string() + ": not a regular file; it was left as it is");
    }
    std::string text;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            throw InstallError("cannot read " + path.string() + ": " + describeErrno(error) + "; it was left as it is");
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

void createDirectories(const fs::path& directory)
{
    std::error_code error;
    fs::create_directories(directory, error);
    if (error)
        throw InstallError("cannot create " + directory.string() + ": " + error.message());
}

// Where to write so that a symbolic link stays a link: the file it finally names.
fs::path writeTarget(const fs::path& path)
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

} // namespace

HookInstaller::HookInstaller(fs::path settingsPath, fs::path scriptPath, std::uint16_t port, int version)
    : settingsPath_(std::move(settingsPath))
    , scriptPath_(std::move(scriptPath))
    , port_(port)
    , version_(version)
{
}

nlohmann::json HookInstaller::readSettings() const
{
    std::error_code error;
    if (!fs::exists(fs::symlink_status(settingsPath_, error)))
        return nlohmann::json::object();
    const std::string text = readRegularFile(settingsPath_);
    nlohmann::json settings;
    try {
        settings = SettingsJson::parse(text);
    } catch (const nlohmann::json::parse_error& parseError) {
        // The library's message carries the line and column of the fault.
        throw InstallError(settingsPath_.string() + " is not valid JSON (" + parseError.what() + "); it was left as it is");
    }
    if (!settings.is_object())
        throw InstallError(settingsPath_.string() + " does not hold a JSON object; it was left as it is");
    return settings;
}

void HookInstaller::install()
{
    ensureScript();
    const nlohmann::json settings = readSettings();
    writeSettings(HookSettings::installed(settings, scriptPath_.filename().string()));
}

void HookInstaller::uninstall()
{
    const nlohmann::json settings = readSettings();
    writeSettings(HookSettings::pruneAllOwned(settings));
    removeOwnedScripts();
}

bool HookInstaller::isInstalled() const
{
    try {
        const nlohmann::json settings = readSettings();
        return HookSettings::hasOwnedCapture(settings) || HookSettings::hasOwnedStatusLine(settings);
    } catch (const InstallError&) {
        return false;
    }
}

bool HookInstaller::isScriptCurrent() const
{
    std::error_code error;
    if (!fs::is_regular_file(scriptPath_, error))
        return false;
    try {
        return HookScriptBuilder::isUpToDate(readRegularFile(scriptPath_), port_, version_);
    } catch (const InstallError&) {
        return false;
    }
}

void HookInstaller::ensureScript() const
{
    createDirectories(scriptPath_.parent_path());
    if (!isScriptCurrent()) // unreadable counts as out of date: written afresh
        replaceAtomically(scriptPath_, HookScriptBuilder::render(port_, version_), 0755);
}

void HookInstaller::writeSettings(const nlohmann::json& settings) const
{
    const fs::path target = writeTarget(settingsPath_);
    createDirectories(target.parent_path());
    std::string bytes;
    try {
        bytes = SettingsJson::serialise(settings);
    } catch (const nlohmann::json::exception& serialiseError) {
        throw InstallError("cannot write " + target.string() + ": " + serialiseError.what());
    }
    // Keep the file's permission bits: a file readable only by its owner stays so.
    std::optional<mode_t> mode;
    struct stat info {};
    if (::stat(target.c_str(), &info) == 0)
        mode = info.st_mode & 07777;
    replaceAtomically(target, bytes, mode);
}

void HookInstaller::removeOwnedScripts() const
{
    std::error_code ignored;
    if (fs::exists(fs::symlink_status(scriptPath_, ignored)))
        fs::remove(scriptPath_, ignored);
}

} // namespace tallyglass
