#include "pricing/PriceFileWatcher.h"

#include "core/Log.h"
#include "pricing/PriceFile.h"

namespace tallyglass {

PriceFileWatcher::PriceFileWatcher(std::filesystem::path path, std::string shown, std::function<void()> priceAgain,
                                   std::chrono::milliseconds settle, QObject* parent)
    : QObject(parent)
    , path_(std::move(path))
    , shown_(std::move(shown))
    , priceAgain_(std::move(priceAgain))
{
    // What the start said about the file is not said again until it changes.
    lastProblem_ = PriceFile::load(path_, shown_).problem;
    settle_.setSingleShot(true);
    settle_.setInterval(settle);
    connect(&settle_, &QTimer::timeout, this, &PriceFileWatcher::readAgain);
    const auto changed = [this] { settle_.start(); };
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
    watch();
}

void PriceFileWatcher::watch()
{
    // A file replaced by a rename is another file: the watch of the old one
    // ended with it, so the path is watched again whenever it exists.
    const QString folder = QString::fromStdString(path_.parent_path().string());
    const QString file = QString::fromStdString(path_.string());
    if (!watcher_.directories().contains(folder))
        watcher_.addPath(folder);
    if (watcher_.files().contains(file))
        watcher_.removePath(file);
    std::error_code ignored;
    if (std::filesystem::exists(path_, ignored))
        watcher_.addPath(file);
}

void PriceFileWatcher::readAgain()
{
    watch();
    const PriceFile::Applied applied = PriceFile::apply(path_, shown_);
    if (applied.problem && applied.problem != lastProblem_)
        Log::line(*applied.problem + "; until it is mended, prices come from the built-in list");
    if (!applied.problem && lastProblem_)
        Log::line(shown_ + " is read again: its prices are in use");
    lastProblem_ = applied.problem;
    if (applied.priceAgain && priceAgain_)
        priceAgain_();
    emit reread();
}

} // namespace tallyglass
