#include "hook/HookInstaller.h"

#include "core/WholeFile.h"
#include "hook/HookScriptBuilder.h"
#include "hook/HookSettings.h"
#include "hook/SettingsJson.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

namespace fs = std::filesystem;

std::string describeErrno(int error)
{
    return std::strerror(error);
}

// The file replaced whole (WholeFile), its failure said as the installer says it.
void replaceAtomically(const fs::path& target, const std::string& bytes, std::optional<unsigned> mode)
{
    try {
        WholeFile::write(target, bytes, mode);
    } catch (const WholeFile::Error& error) {
        throw InstallError(error.what());
    }
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
    const fs::path target = WholeFile::finalTarget(settingsPath_);
    createDirectories(target.parent_path());
    std::string bytes;
    try {
        bytes = SettingsJson::serialise(settings);
    } catch (const nlohmann::json::exception& serialiseError) {
        throw InstallError("cannot write " + target.string() + ": " + serialiseError.what());
    }
    // No mode: the file keeps its permission bits, so one readable only by its owner stays so.
    replaceAtomically(target, bytes, std::nullopt);
}

void HookInstaller::removeOwnedScripts() const
{
    std::error_code ignored;
    if (fs::exists(fs::symlink_status(scriptPath_, ignored)))
        fs::remove(scriptPath_, ignored);
}

} // namespace tallyglass
