#include "overlay/ChartViewModel.h"

#include "core/ThreadHandoff.h"
#include "storage/DBError.h"

#include <QMetaObject>
#include <QPointer>

namespace tallyglass {

namespace {

Instant systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

} // namespace

ChartViewModel::ChartViewModel(std::shared_ptr<UsageDatabase> database, std::shared_ptr<ScanRunning> scanner, Clock clock,
                               QObject* parent)
    : QObject(parent)
    , database_(std::move(database))
    , scanner_(std::move(scanner))
    , clock_(clock ? std::move(clock) : Clock(systemNow))
    , nowTick_(clock_())
{
    tickTimer_.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(tickInterval));
    connect(&tickTimer_, &QTimer::timeout, this, &ChartViewModel::tick);
    tickTimer_.start();
}

ChartViewModel::~ChartViewModel()
{
    if (scanThread_.joinable()) {
        if (scanner_)
            scanner_->requestStop();
        scanThread_.join();
    }
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
    if (!scanner_ || scanProgress_.kind == ScanProgress::Kind::running)
        return;
    if (scanThread_.joinable())
        scanThread_.join(); // the last import has ended; its thread is done
    setScanProgress(ScanProgress::running(0));
    QPointer<ChartViewModel> self(this);
    scanThread_ = std::thread([self, scanner = scanner_] {
        std::optional<std::string> error;
        try {
            scanner->scanAll([self](std::int64_t done, std::int64_t total) {
                const std::int64_t percent =
                    total == 0 ? 100 : static_cast<std::int64_t>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
                // Posted to the interface thread; dropped there if the model is gone by then.
                QMetaObject::invokeMethod(
                    self, handedOff([self, percent] {
                        if (self && self->scanProgress_.kind == ScanProgress::Kind::running)
                            self->setScanProgress(ScanProgress::running(percent));
                    }),
                    Qt::QueuedConnection);
            });
        } catch (const std::exception& failure) {
            error = failure.what();
        }
        QMetaObject::invokeMethod(
            self, handedOff([self, error] {
                if (self)
                    self->finishScan(error);
            }),
            Qt::QueuedConnection);
    });
}

void ChartViewModel::finishScan(std::optional<std::string> error)
{
    if (error) {
        setScanProgress(ScanProgress::failed(*error));
        emit scanFinished(false);
        return;
    }
    setScanProgress(ScanProgress{});
    reload();
    emit scanFinished(true);
}

} // namespace tallyglass
