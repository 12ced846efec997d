#include "capture/ImportService.h"

#include "core/GroupedCount.h"
#include "core/Log.h"
#include "core/ThreadHandoff.h"

#include <QMetaObject>

namespace tallyglass {

ImportService::ImportService(std::shared_ptr<ScanRunning> import, QObject* parent)
    : QObject(parent)
    , import_(std::move(import))
{
    thread_ = std::thread([this] { serveRequests(); });
}

ImportService::~ImportService()
{
    stop();
}

std::string ImportService::describe(const Outcome& outcome)
{
    const std::string what = outcome.catchUp ? "catch-up" : "history import";
    if (outcome.error)
        return what + " failed: " + *outcome.error;
    const ScanStatistics& stats = outcome.statistics;
    std::string line = what + (outcome.stoppedEarly ? " stopped: " : " done: ") + groupedCount(stats.files) + " files ("
        + std::to_string(stats.bytes / 1'000'000) + " MB), " + groupedCount(stats.linesRead) + " lines read";
    if (stats.impossibleTimes > 0)
        line += ", " + groupedCount(stats.impossibleTimes) + " left out for a time before 2000 or more than a day from now";
    return line;
}

void ImportService::run()
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        requested_ = true;
    }
    wake_.notify_one();
}

void ImportService::runAfterPauses(std::chrono::milliseconds tick, std::chrono::milliseconds pause, Clock clock)
{
    clock_ = clock ? std::move(clock) : Clock([] { return std::chrono::steady_clock::now(); });
    pause_ = pause;
    lastLook_ = clock_();
    connect(&pauseWatch_, &QTimer::timeout, this, &ImportService::lookAtTheClock, Qt::UniqueConnection);
    pauseWatch_.start(tick);
}

void ImportService::lookAtTheClock()
{
    const auto now = clock_();
    const auto gap = now - lastLook_;
    lastLook_ = now;
    if (gap < pauseWatch_.intervalAsDuration() + pause_)
        return;
    Log::line("the process was stopped for " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(gap).count())
              + " s; reading what the transcripts gained meanwhile");
    run();
}

void ImportService::stop()
{
    pauseWatch_.stop();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    import_->requestStop();
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

// Queued to the service's thread, and dropped there once the service is gone.
void ImportService::post(std::function<void()> onOwnThread)
{
    QMetaObject::invokeMethod(this, handedOff(std::move(onOwnThread)), Qt::QueuedConnection);
}

void ImportService::serveRequests()
{
    while (true) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return requested_ || stopping_; });
            if (stopping_)
                return;
            requested_ = false;
        }
        post([this] {
            running_ = true;
            emit startedRunning();
        });
        Outcome outcome;
        try {
            // A file's worth of progress at most once per percent: a year of small files posts no flood.
            std::int64_t lastPercent = -1;
            import_->scanAll([this, &lastPercent](std::int64_t done, std::int64_t total) {
                const std::int64_t percent = total == 0 ? 100 : 100 * done / total;
                if (percent == lastPercent && done != total)
                    return;
                lastPercent = percent;
                post([this, done, total] {
                    if (running_)
                        emit progressChanged(done, total);
                });
            });
        } catch (const std::exception& error) {
            outcome.error = error.what();
        }
        outcome.catchUp = import_->wasCatchUp();
        outcome.stoppedEarly = import_->stoppedEarly();
        outcome.statistics = import_->statistics();
        post([this, outcome = std::move(outcome)] {
            running_ = false;
            lastOutcome_ = outcome;
            emit finished();
        });
    }
}

} // namespace tallyglass
