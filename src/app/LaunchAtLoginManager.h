#pragma once

#include <filesystem>
#include <string>

namespace tallyglass {

// Keeps the desktop's login item (an XDG autostart entry) in line with the
// stored preference, which is on unless the user turned it off.
class LaunchAtLoginManager {
public:
    // ~/.config/autostart/tallyglass.desktop, starting the running program.
    static LaunchAtLoginManager& shared();

    LaunchAtLoginManager(std::filesystem::path entryPath, std::string program);

    bool isEnabled() const;
    // Stores the preference, then brings the entry in line with it.
    void setEnabled(bool enabled);
    // Creates or removes the entry as `enabled` says; a failure is logged and
    // changes nothing else.
    void sync(bool enabled);

    const std::filesystem::path& entryPath() const { return entryPath_; }
    std::string entryText() const;

private:
    const std::filesystem::path entryPath_;
    const std::string program_;
};

} // namespace tallyglass
