#include "app/LaunchAtLoginManager.h"

#include "app/AppPaths.h"
#include "core/Log.h"
#include "storage/Preferences.h"

#include <QCoreApplication>

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tallyglass {

namespace {

// The desktop-entry rules for one argument of Exec: quoted when it holds a
// reserved character, with ", `, $ and \ escaped inside the quotes; % doubled
// (it starts a field code); then every backslash doubled again, because the
// file's string escapes are undone before the quoting is read.
std::string execArgument(const std::string& program)
{
    const bool reserved = program.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string::npos;
    std::string quoted = reserved ? "\"" : "";
    for (const char c : program) {
        if (reserved && (c == '"' || c == '`' || c == '$' || c == '\\'))
            quoted += '\\';
        quoted += c == '%' ? "%%" : std::string(1, c);
    }
    if (reserved)
        quoted += '"';
    std::string out;
    for (const char c : quoted) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

std::string readAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

LaunchAtLoginManager& LaunchAtLoginManager::shared()
{
    static LaunchAtLoginManager instance(AppPaths::home() / ".config" / "autostart" / "tallyglass.desktop",
                                         QCoreApplication::applicationFilePath().toStdString());
    return instance;
}

LaunchAtLoginManager::LaunchAtLoginManager(std::filesystem::path entryPath, std::string program)
    : entryPath_(std::move(entryPath))
    , program_(std::move(program))
{
}

bool LaunchAtLoginManager::isEnabled() const
{
    return Preferences::shared().launchAtLogin();
}

void LaunchAtLoginManager::setEnabled(bool enabled)
{
    Preferences::shared().setLaunchAtLogin(enabled);
    sync(enabled);
}

std::string LaunchAtLoginManager::entryText() const
{
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tallyglass\n"
           "Comment=How many tokens Claude Code uses, and what they cost\n"
           "Exec=" + execArgument(program_) + "\n"
           "Icon=tallyglass\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void LaunchAtLoginManager::sync(bool enabled)
{
    std::error_code error;
    const bool present = std::filesystem::exists(entryPath_, error);
    try {
        if (enabled) {
            if (present && readAll(entryPath_) == entryText())
                return;
            std::filesystem::create_directories(entryPath_.parent_path());
            const auto temporary = entryPath_.string() + ".tmp-" + std::to_string(::getpid());
            {
                std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
                out << entryText();
                if (!out.flush())
                    throw std::runtime_error("cannot write " + temporary);
            }
            std::filesystem::rename(temporary, entryPath_);
        } else {
            if (!present)
                return;
            std::filesystem::remove(entryPath_);
        }
    } catch (const std::exception& failure) {
        Log::line(std::string("launch-at-login sync failed (enabled=") + (enabled ? "true" : "false") + "): " + failure.what());
    }
}

} // namespace tallyglass
