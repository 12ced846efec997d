#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tallyglass {

class InstallError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Connects Claude Code to the application and disconnects it again: writes the
// hook sender script, and edits Claude Code's settings so that it runs the
// script on six hook events and in front of its status-line command. Removal
// takes out exactly what was added.
//
// The user's settings are never damaged: a settings file that cannot be read,
// is not JSON or is not a JSON object makes install and uninstall refuse with
// an error naming the file and the problem, leaving it as it was. A settings
// file that is a symbolic link stays one (its target is replaced), and the
// file keeps its permission bits. Files are replaced atomically. Values the
// installer does not touch keep their text, numbers included (SettingsJson).
class HookInstaller {
public:
    HookInstaller(std::filesystem::path settingsPath, std::filesystem::path scriptPath, std::uint16_t port, int version);

    void install();
    void uninstall();
    // Whether the settings hold an owned hook or status line; unreadable or
    // malformed settings count as not installed.
    bool isInstalled() const;
    // Whether the script on disk is this version for this port (nothing there, or unreadable, is not).
    bool isScriptCurrent() const;

    std::uint16_t port() const { return port_; }
    const std::filesystem::path& settingsPath() const { return settingsPath_; }
    const std::filesystem::path& scriptPath() const { return scriptPath_; }

    // The settings as an object: empty when there is no file. Throws
    // InstallError when the file exists but cannot be used. A number whose
    // text its value would not give back is held as that text (SettingsJson).
    nlohmann::json readSettings() const;

private:
    void ensureScript() const;
    void writeSettings(const nlohmann::json& settings) const;
    void removeOwnedScripts() const;

    const std::filesystem::path settingsPath_;
    const std::filesystem::path scriptPath_;
    const std::uint16_t port_;
    const int version_;
};

} // namespace tallyglass
