#include "hook/HookStateWatcher.h"

namespace tallyglass {

HookStateWatcher::HookStateWatcher(std::filesystem::path settingsPath, std::function<bool()> isInstalled, QObject* parent)
    : QObject(parent)
    , settingsPath_(std::move(settingsPath))
    , isInstalled_(std::move(isInstalled))
    , installed_(isInstalled_())
{
    settle_.setSingleShot(true);
    settle_.setInterval(settleMs);
    connect(&settle_, &QTimer::timeout, this, &HookStateWatcher::check);
    connect(&watcher_, &QFileSystemWatcher::fileChanged, &settle_, qOverload<>(&QTimer::start));
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, &settle_, qOverload<>(&QTimer::start));
    rewatch();
}

// The watches follow what exists now: the file once it appears, a folder
// created since in place of the ancestor watched until then.
void HookStateWatcher::rewatch()
{
    std::error_code ignored;
    QStringList wanted;
    if (std::filesystem::exists(settingsPath_, ignored))
        wanted << QString::fromStdString(settingsPath_.string());
    std::filesystem::path folder = settingsPath_.parent_path();
    while (!folder.empty() && !std::filesystem::is_directory(folder, ignored) && folder != folder.parent_path())
        folder = folder.parent_path();
    if (!folder.empty())
        wanted << QString::fromStdString(folder.string());
    const QStringList watched = watcher_.files() + watcher_.directories();
    for (const QString& path : watched) {
        if (!wanted.contains(path))
            watcher_.removePath(path);
    }
    for (const QString& path : wanted) {
        if (!watched.contains(path))
            watcher_.addPath(path);
    }
}

void HookStateWatcher::check()
{
    rewatch();
    const bool now = isInstalled_();
    if (now == installed_)
        return;
    installed_ = now;
    emit changed(now);
}

} // namespace tallyglass
