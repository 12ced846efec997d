#pragma once

#include "capture/ScanService.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tallyglass {

// Runs the history import (see HistoryImport: the whole history into a
// database that lacks it, else what transcripts gained) on a thread of its
// own, for the desktop application and the headless process alike; windows
// only watch its progress. A run asked for while one is under way follows it,
// once: a database replaced during an import still gets its history.
class ImportService final : public QObject {
    Q_OBJECT

public:
    struct Outcome {
        bool catchUp = false; // what transcripts gained, not the whole history
        bool stoppedEarly = false;
        ScanStatistics statistics;
        std::optional<std::string> error; // the run failed, and why
    };

    explicit ImportService(std::shared_ptr<ScanRunning> import, QObject* parent = nullptr);

    // The line the log gets: "catch-up done: 3 files (1 MB), 1,005 lines read", or why it failed.
    static std::string describe(const Outcome& outcome);
    ~ImportService() override;

    void run();
    // Ends the run under way after the file in hand; nothing runs after this.
    void stop();

    // While the process is stopped (SIGSTOP, a debugger, a paused container)
    // the hook's events are not taken in, and what they named is not read:
    // a look at the clock every `tick` finds such a pause, longer than `pause`,
    // and runs the import, which reads what transcripts gained meanwhile.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    void runAfterPauses(std::chrono::milliseconds tick, std::chrono::milliseconds pause, Clock clock = {});
    // What the tick does; for tests with a clock of their own.
    void lookAtTheClock();

    // On the thread the service belongs to.
    bool running() const { return running_; }
    const std::optional<Outcome>& lastOutcome() const { return lastOutcome_; }

signals:
    void startedRunning();
    // Files looked at so far, of those found.
    void progressChanged(qint64 done, qint64 total);
    void finished(); // lastOutcome() holds how it went

private:
    void serveRequests();
    void post(std::function<void()> onOwnThread);

    const std::shared_ptr<ScanRunning> import_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stopping_ = false;
    std::thread thread_;
    // Seen only on the thread the service belongs to.
    bool running_ = false;
    QTimer pauseWatch_;
    Clock clock_;
    std::chrono::milliseconds pause_{0};
    std::chrono::steady_clock::time_point lastLook_;
    std::optional<Outcome> lastOutcome_;
};

} // namespace tallyglass
