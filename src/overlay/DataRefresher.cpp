#include "overlay/DataRefresher.h"

#include <QFileSystemWatcher>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <map>
#include <mutex>

namespace tallyglass {

// Everything that watches, on the refresher's own thread.
class DataRefresher::Watcher final : public QObject {
public:
    Watcher(std::vector<QString> paths, Timing timing, DataRefresher* owner)
        : paths_(std::move(paths))
        , owner_(owner)
        , watcher_(this) // children, so that moving this object to its thread moves them too
        , debounce_(this)
        , safety_(this)
    {
        debounce_.setSingleShot(true);
        debounce_.setInterval(timing.debounce);
        safety_.setInterval(timing.safetyInterval);
        connect(&debounce_, &QTimer::timeout, this, [this] {
            attach(); // a file deleted and not yet created again when its event came is taken up now
            fire();
        });
        connect(&safety_, &QTimer::timeout, this, [this] {
            attach();
            fire();
        });
        connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
            // Attribute changes alone say nothing new, and reading makes some:
            // SQLite running as root hands the log file back to the database's
            // owner on every open, which would reload, reopen and reload again.
            const bool changed = contentChanged(path);
            // A file deleted or replaced drops out of the watch: take the new one at once.
            attach();
            if (changed)
                debounce_.start(); // restarts: one call once the burst is over
        });
    }

    void begin()
    {
        attach();
        safety_.start();
    }

    std::vector<std::filesystem::path> watched() const
    {
        std::lock_guard lock(mutex_);
        return watched_;
    }

private:
    void attach()
    {
        const QStringList current = watcher_.files();
        std::vector<std::filesystem::path> now;
        for (const QString& path : paths_) {
            if (!current.contains(path) && watcher_.addPath(path)) // fails quietly while the file does not exist
                contentChanged(path); // what it holds now, for telling the next event apart
        }
        for (const QString& path : watcher_.files())
            now.emplace_back(path.toStdString());
        std::lock_guard lock(mutex_);
        watched_ = std::move(now);
    }

    // Size and modification time, as last seen; a file that cannot be read counts as changed.
    bool contentChanged(const QString& path)
    {
        std::error_code error;
        const std::filesystem::path file(path.toStdString());
        const auto size = std::filesystem::file_size(file, error);
        const auto modified = error ? std::filesystem::file_time_type{} : std::filesystem::last_write_time(file, error);
        const Stamp stamp = error ? Stamp{} : Stamp{size, modified};
        auto& previous = stamps_[path];
        const bool changed = !stamp.known || !previous.known || stamp.size != previous.size || stamp.modified != previous.modified;
        previous = stamp;
        return changed;
    }

    void fire()
    {
        // Queued to the owner's thread; Qt drops it if the owner is gone by then.
        QMetaObject::invokeMethod(owner_, [owner = owner_] { owner->deliver(); }, Qt::QueuedConnection);
    }

    struct Stamp {
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified{};
        bool known = false;
        Stamp() = default;
        Stamp(std::uintmax_t s, std::filesystem::file_time_type m) : size(s), modified(m), known(true) {}
    };

    const std::vector<QString> paths_;
    std::map<QString, Stamp> stamps_;
    DataRefresher* const owner_;
    QFileSystemWatcher watcher_;
    QTimer debounce_;
    QTimer safety_;
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> watched_;
};

DataRefresher::DataRefresher(std::filesystem::path watchPath, QObject* parent)
    : DataRefresher(std::move(watchPath), Timing{}, parent)
{
}

DataRefresher::DataRefresher(std::filesystem::path watchPath, Timing timing, QObject* parent)
    : QObject(parent)
    , watchPath_(std::move(watchPath))
    , timing_(timing)
    , thread_(std::make_unique<QThread>())
{
    thread_->setObjectName("tallyglass.DataRefresher");
    // The database and its write-ahead log; the shared-memory file changes on every read.
    const std::vector<QString> paths = {QString::fromStdString(watchPath_.string()),
                                        QString::fromStdString(watchPath_.string() + "-wal")};
    watcher_ = new Watcher(paths, timing_, this);
    watcher_->moveToThread(thread_.get());
    thread_->start();
}

DataRefresher::~DataRefresher()
{
    QMetaObject::invokeMethod(watcher_, [watcher = watcher_] { delete watcher; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

void DataRefresher::start()
{
    QMetaObject::invokeMethod(watcher_, [watcher = watcher_] { watcher->begin(); }, Qt::QueuedConnection);
}

std::vector<std::filesystem::path> DataRefresher::watchedFiles() const
{
    return watcher_->watched();
}

void DataRefresher::deliver()
{
    if (onChange_)
        onChange_();
}

} // namespace tallyglass
