#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <filesystem>
#include <functional>

namespace tallyglass {

// Notices when Claude Code's settings file comes to say otherwise about our
// hook than it did: `tallyglass hook uninstall` run in a terminal, an edit by
// hand, Claude Code rewriting the file. The file and its folder are watched,
// since an atomic replace puts a new file in place that a watch on the old one
// never sees; while the folder does not exist yet, the nearest folder above it
// is watched instead. Changes settle for a moment before the file is read, so a
// burst of writes costs one read.
class HookStateWatcher final : public QObject {
    Q_OBJECT

public:
    static constexpr int settleMs = 150;

    HookStateWatcher(std::filesystem::path settingsPath, std::function<bool()> isInstalled, QObject* parent = nullptr);

    bool installed() const { return installed_; }
    // A change the application made itself and has announced already.
    void setKnown(bool installed) { installed_ = installed; }

signals:
    void changed(bool installed);

private:
    void rewatch();
    void check();

    const std::filesystem::path settingsPath_;
    const std::function<bool()> isInstalled_;
    QFileSystemWatcher watcher_;
    QTimer settle_;
    bool installed_ = false;
};

} // namespace tallyglass
