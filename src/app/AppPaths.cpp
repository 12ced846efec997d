#include "app/AppPaths.h"

#include <cstdlib>
#include <pwd.h>
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
