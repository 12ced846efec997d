#include "overlay/ChartViewModel.h"

#include "capture/ImportService.h"
#include "storage/DBError.h"

namespace tallyglass {

namespace {

Instant systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

} // namespace

ChartViewModel::ChartViewModel(std::shared_ptr<UsageDatabase> database, ImportService* imports, Clock clock, QObject* parent)
    : QObject(parent)
    , database_(std::move(database))
    , imports_(imports)
    , clock_(clock ? std::move(clock) : Clock(systemNow))
    , nowTick_(clock_())
{
    tickTimer_.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(tickInterval));
    connect(&tickTimer_, &QTimer::timeout, this, &ChartViewModel::tick);
    tickTimer_.start();
    if (imports_) {
        // Runs asked for elsewhere (a database replaced) show here too.
        connect(imports_, &ImportService::startedRunning, this, [this] { setScanProgress(ScanProgress::running(0)); });
        connect(imports_, &ImportService::progressChanged, this, [this](qint64 done, qint64 total) {
            const std::int64_t percent =
                total == 0 ? 100 : static_cast<std::int64_t>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
            if (scanProgress_.kind == ScanProgress::Kind::running)
                setScanProgress(ScanProgress::running(percent));
        });
        connect(imports_, &ImportService::finished, this, &ChartViewModel::finishScan);
    }
}

std::optional<std::string> ChartViewModel::lastError() const
{
    if (lastError_)
        return lastError_;
    if (storeProblem_)
        return "Storing fails: " + *storeProblem_;
    return std::nullopt;
}

void ChartViewModel::setStoreProblem(std::optional<std::string> problem)
{
    if (problem == storeProblem_)
        return;
    storeProblem_ = std::move(problem);
    emit lastErrorChanged();
}

void ChartViewModel::tick()
{
    nowTick_ = clock_();
    emit nowTickChanged();
}

void ChartViewModel::setState(UsageState state)
{
    if (state == state_)
        return;
    state_ = std::move(state);
    emit stateChanged();
}

void ChartViewModel::setLastError(std::optional<std::string> error)
{
    if (error == lastError_)
        return;
    lastError_ = std::move(error);
    emit lastErrorChanged();
}

void ChartViewModel::setScanProgress(ScanProgress progress)
{
    if (progress == scanProgress_)
        return;
    scanProgress_ = std::move(progress);
    emit scanProgressChanged();
}

void ChartViewModel::reload()
{
    const auto window = std::chrono::seconds(static_cast<std::int64_t>(Bucketize::windowSeconds));
    try {
        const auto limits = database_->fetchUsageLimits();
        const bool hasAny = database_->hasAnyMessages();
        const auto resetsAt = limits ? limits->fiveHourResetsAt : std::nullopt;
        if (resetsAt) {
            setState(UsageState::full(*resetsAt, limits->fiveHourUtilization,
                                      database_->fetchMessagesInWindow(*resetsAt - window, *resetsAt)));
        } else if (!hasAny) {
            setState(UsageState{});
        } else {
            const Instant now = clock_();
            setState(UsageState::partial(now, database_->fetchMessagesInWindow(now - window, now)));
        }
        const std::int64_t active = database_->fetchActiveSessionCount();
        if (active != activeSessionCount_) {
            activeSessionCount_ = active;
            emit activeSessionCountChanged();
        }
        setLastError(std::nullopt);
    } catch (const DBError& error) {
        if (error.kind() == DBError::Kind::cannotOpen) {
            // No database yet: the overlay waits for the first sync.
            setState(UsageState{});
            setLastError(std::nullopt);
        } else {
            setLastError(error.description());
        }
    } catch (const std::exception& error) {
        setLastError(std::string(error.what()));
    }
}

void ChartViewModel::scanProjects()
{
    if (!imports_ || scanProgress_.kind == ScanProgress::Kind::running)
        return;
    setScanProgress(ScanProgress::running(0));
    imports_->run();
}

void ChartViewModel::finishScan()
{
    const auto& outcome = imports_->lastOutcome();
    if (outcome && outcome->error) {
        setScanProgress(ScanProgress::failed(*outcome->error));
        emit scanFinished(false);
        return;
    }
    setScanProgress(ScanProgress{});
    reload();
    emit scanFinished(true);
}

} // namespace tallyglass
