#include "app/AppPaths.h"

#include "dashboard/TerminalReport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass::AppPaths {

namespace fs = std::filesystem;

fs::path home()
{
    if (const char* value = std::getenv("HOME"); value && *value)
        return value;
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

fs::path configDirectory()
{
    return home() / ".config" / "tallyglass";
}

fs::path database()
{
    return configDirectory() / "app.db";
}

fs::path hookScript()
{
    return configDirectory() / "app-hook";
}

fs::path priceFile()
{
    return configDirectory() / "prices.json";
}

fs::path otlpToken()
{
    return configDirectory() / "otlp-token";
}

std::string shown(const fs::path& path)
{
    return TerminalReport::homeShortened(path.string(), home().string());
}

fs::path claudeDirectory()
{
    if (const char* value = std::getenv("CLAUDE_CONFIG_DIR"); value && *value)
        return value;
    return home() / ".claude";
}

fs::path claudeSettings()
{
    return claudeDirectory() / "settings.json";
}

std::optional<std::string> configProblem(ConfigAccess access)
{
    const fs::path folder = configDirectory();
    const std::string problem = "cannot use " + folder.string() + ": ";
    // The nearest of the folder and its parents that exists: a missing folder is made
    // when first needed, so then its parent must let it be made.
    fs::path existing = folder;
    struct stat info {};
    while (::stat(existing.c_str(), &info) != 0) {
        if ((errno != ENOENT && errno != ENOTDIR) || !existing.has_relative_path())
            return problem + std::strerror(errno);
        existing = existing.parent_path();
    }
    const bool itself = existing == folder;
    if (!S_ISDIR(info.st_mode))
        return problem + (itself ? std::string("it is") : existing.string() + " is") + " a file, not a folder";
    if (access == ConfigAccess::readOnly) {
        if (itself && ::access(folder.c_str(), R_OK | X_OK) != 0)
            return problem + "you may not read in it (" + std::strerror(errno) + ")";
        return std::nullopt; // nothing stored yet is for the command to say
    }
    if (itself && ::access(folder.c_str(), R_OK | W_OK | X_OK) != 0)
        return problem + "you may not read and write in it (" + std::strerror(errno) + ")";
    if (!itself && ::access(existing.c_str(), W_OK | X_OK) != 0)
        return problem + "it cannot be made in " + existing.string() + " (" + std::strerror(errno) + ")";
    return std::nullopt;
}

std::vector<fs::path> transcriptRoots()
{
    std::vector<fs::path> candidates;
    if (const char* value = std::getenv("CLAUDE_CONFIG_DIR"); value && *value)
        candidates.push_back(fs::path(value) / "projects");
    candidates.push_back(home() / ".claude" / "projects");
    candidates.push_back(home() / ".config" / "claude" / "projects");

    std::vector<fs::path> roots;
    std::vector<fs::path> seen;
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (!fs::is_directory(candidate, error))
            continue;
        const fs::path canonical = fs::canonical(candidate, error);
        if (error)
            continue;
        bool duplicate = false;
        for (const fs::path& other : seen)
            duplicate = duplicate || other == canonical;
        if (!duplicate) {
            seen.push_back(canonical);
            roots.push_back(candidate);
        }
    }
    return roots;
}

} // namespace tallyglass::AppPaths
