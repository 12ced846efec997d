#include "overlay/DataRefresher.h"

#include "core/ThreadHandoff.h"

#include <QFileSystemWatcher>
#include <QMetaObject>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>

namespace tallyglass {

// Everything that watches, on the refresher's own thread. The timers only wake
// it up: whether the debounce is over or a tick is due is read off the clock,
// so that a test's clock decides it.
class DataRefresher::Watcher final : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    Watcher(std::vector<QString> paths, Timing timing, DataRefresher* owner)
        : paths_(std::move(paths))
        , timing_(std::move(timing))
        , owner_(owner)
        , watcher_(this) // children, so that moving this object to its thread moves them too
        , debounce_(this)
        , safety_(this)
    {
        debounce_.setSingleShot(true);
        safety_.setSingleShot(true);
        connect(&debounce_, &QTimer::timeout, this, [this] { endDebounceIfDue(now()); });
        connect(&safety_, &QTimer::timeout, this, [this] { tickIfDue(now()); });
        connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
            // Attribute changes alone say nothing new, and reading makes some:
            // SQLite running as root hands the log file back to the database's
            // owner on every open, which would reload, reopen and reload again.
            const bool changed = contentChanged(path);
            // A file deleted or replaced drops out of the watch: take the new one at once.
            attach();
            if (changed) {
                // Restarts: one call once the burst is over.
                debounceDue_ = now() + timing_.debounce;
                wakeAt(debounce_, *debounceDue_);
            }
            if (timing_.onFileEvent)
                timing_.onFileEvent(changed);
        });
    }

    void begin()
    {
        attach();
        tickDue_ = now() + timing_.safetyInterval;
        wakeAt(safety_, *tickDue_);
    }

    void timeMoved()
    {
        const Clock::time_point current = now();
        endDebounceIfDue(current);
        tickIfDue(current);
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
        std::vector<std::filesystem::path> watching;
        for (const QString& path : paths_) {
            if (!current.contains(path) && watcher_.addPath(path)) // fails quietly while the file does not exist
                contentChanged(path); // what it holds now, for telling the next event apart
        }
        for (const QString& path : watcher_.files())
            watching.emplace_back(path.toStdString());
        std::lock_guard lock(mutex_);
        watched_ = std::move(watching);
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

    Clock::time_point now() const { return timing_.now ? timing_.now() : Clock::now(); }

    // Wakes this thread up when `due` should have come, to look at the clock again.
    void wakeAt(QTimer& timer, Clock::time_point due)
    {
        timer.start(std::max(std::chrono::ceil<std::chrono::milliseconds>(due - now()), std::chrono::milliseconds(0)));
    }

    void endDebounceIfDue(Clock::time_point current)
    {
        if (!debounceDue_)
            return;
        if (*debounceDue_ > current) {
            wakeAt(debounce_, *debounceDue_);
            return;
        }
        debounceDue_.reset();
        attach(); // a file deleted and not yet created again when its event came is taken up now
        fire();
    }

    void tickIfDue(Clock::time_point current)
    {
        if (!tickDue_)
            return;
        if (*tickDue_ <= current) {
            // Every interval from the start, or from now when the ticks fell behind.
            *tickDue_ += timing_.safetyInterval;
            if (*tickDue_ <= current)
                tickDue_ = current + timing_.safetyInterval;
            attach();
            fire();
        }
        wakeAt(safety_, *tickDue_);
    }

    void fire()
    {
        // Queued to the owner's thread; Qt drops it if the owner is gone by then.
        QMetaObject::invokeMethod(owner_, handedOff([owner = owner_] { owner->deliver(); }), Qt::QueuedConnection);
    }

    struct Stamp {
        std::uintmax_t size = 0;
        std::filesystem::file_time_type modified{};
        bool known = false;
        Stamp() = default;
        Stamp(std::uintmax_t s, std::filesystem::file_time_type m) : size(s), modified(m), known(true) {}
    };

    const std::vector<QString> paths_;
    const Timing timing_;
    std::optional<Clock::time_point> debounceDue_; // while a burst of changes goes on
    std::optional<Clock::time_point> tickDue_;     // once started
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
    onWatchingThreadAndWait([watcher = watcher_] { delete watcher; });
    thread_->quit();
    thread_->wait();
}

void DataRefresher::start()
{
    QMetaObject::invokeMethod(watcher_, handedOff([watcher = watcher_] { watcher->begin(); }), Qt::QueuedConnection);
}

std::vector<std::filesystem::path> DataRefresher::watchedFiles() const
{
    return watcher_->watched();
}

void DataRefresher::timeMoved()
{
    onWatchingThreadAndWait([watcher = watcher_] { watcher->timeMoved(); });
}

void DataRefresher::onWatchingThreadAndWait(std::function<void()> work)
{
    handOffAndWait([this](auto job) { QMetaObject::invokeMethod(watcher_, std::move(job), Qt::QueuedConnection); },
                   std::move(work));
}

void DataRefresher::deliver()
{
    if (onChange_)
        onChange_();
}

} // namespace tallyglass
