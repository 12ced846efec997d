#pragma once

#include <QObject>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

class QThread;

namespace tallyglass {

// Tells the interface when the database may have changed: after a burst of
// changes to app.db or its write-ahead log has been quiet for a moment, and in
// any case every few seconds. The watching runs on a thread of its own
// (inotify through QFileSystemWatcher); onChange runs on the thread that
// created the refresher, and never after the refresher is gone.
//
// A watched file that is deleted or replaced is watched again as soon as it
// exists; files that appear later (the log, once the writer creates it) are
// picked up by the periodic tick.
class DataRefresher final : public QObject {
    Q_OBJECT

public:
    struct Timing {
        std::chrono::milliseconds debounce{300};
        std::chrono::milliseconds safetyInterval{3000};
        // Where the time comes from: the steady clock, or a clock a test moves
        // by hand (and then calls timeMoved()).
        std::function<std::chrono::steady_clock::time_point()> now{};
        // For tests: runs on the watching thread after each event about a
        // watched file, told whether the file's content changed (which
        // restarts the debounce).
        std::function<void(bool changed)> onFileEvent{};
    };

    explicit DataRefresher(std::filesystem::path watchPath, QObject* parent = nullptr);
    DataRefresher(std::filesystem::path watchPath, Timing timing, QObject* parent = nullptr);
    ~DataRefresher() override;

    // Set from the owner's thread before start().
    void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }
    void start();

    // The files being watched right now (for tests).
    std::vector<std::filesystem::path> watchedFiles() const;

    // For a clock of a test's own: looks at the time again, and returns once
    // the calls now due are on their way to onChange's thread.
    void timeMoved();

private:
    class Watcher;

    void deliver();
    // Runs `work` on the watching thread and returns once it has run.
    void onWatchingThreadAndWait(std::function<void()> work);

    const std::filesystem::path watchPath_;
    const Timing timing_;
    std::function<void()> onChange_;
    std::unique_ptr<QThread> thread_;
    Watcher* watcher_ = nullptr; // lives on thread_
};

} // namespace tallyglass
