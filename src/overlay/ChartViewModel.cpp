#include "overlay/ChartViewModel.h"

#include "capture/ImportService.h"
#include "core/SerialQueue.h"
#include "core/ThreadHandoff.h"
#include "storage/DBError.h"

#include <QMetaObject>
#include <QPointer>

namespace tallyglass {

// One read's outcome, made on the worker and published on the interface thread.
struct ChartViewModel::Read {
    bool unchanged = false; // nothing stored since the known read: nothing was read
    bool missing = false;   // no database yet
    std::optional<std::string> error;
    UsageState state;
    std::int64_t activeSessions = 0;
    std::optional<std::int64_t> token;
};

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
    , stopping_(std::make_shared<std::atomic<bool>>(false))
    , reader_(std::make_unique<SerialQueue>("tallyglass.overlayRead"))
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

// A read already running ends as it would, and its outcome, posted to an
// object that is gone, is dropped; one asked for after it is not started.
ChartViewModel::~ChartViewModel()
{
    stopping_->store(true);
    reader_.reset();
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
    if (reading_) {
        readAgain_ = true;
        return;
    }
    reading_ = true;
    QPointer<ChartViewModel> self(this);
    // The clock is read here, on the thread that owns it.
    reader_->async([self, stopping = stopping_, database = database_, now = clock_(), known = readToken_] {
        if (stopping->load())
            return;
        auto read = std::make_shared<Read>(readWindow(*database, now, known));
        QMetaObject::invokeMethod(
            self, handedOff([self, read] {
                if (self)
                    self->publish(*read);
            }),
            Qt::QueuedConnection);
    });
}

// On the worker: everything the card shows of the database, or why not.
ChartViewModel::Read ChartViewModel::readWindow(UsageDatabase& database, Instant now, std::optional<std::int64_t> known)
{
    const auto window = std::chrono::seconds(static_cast<std::int64_t>(Bucketize::windowSeconds));
    Read read;
    try {
        read.token = database.changeToken();
        if (known && read.token == known) {
            read.unchanged = true;
            return read;
        }
        const auto limits = database.fetchUsageLimits();
        const bool hasAny = database.hasAnyMessages();
        const auto resetsAt = limits ? limits->fiveHourResetsAt : std::nullopt;
        if (resetsAt) {
            read.state = UsageState::full(*resetsAt, limits->fiveHourUtilization,
                                          database.fetchMessagesInWindow(*resetsAt - window, *resetsAt));
            // The window's readings, an hour either side for reset times given a little differently.
            const auto readings = database.fetchLimitReadings(*resetsAt - window - std::chrono::hours(1), *resetsAt + std::chrono::hours(1));
            read.state.pace = LimitPace::current(readings, limits, LimitPace::Kind::fiveHour, now);
        }
        else if (hasAny)
            read.state = UsageState::partial(now, database.fetchMessagesInWindow(now - window, now));
        read.activeSessions = database.fetchActiveSessionCount();
    } catch (const DBError& error) {
        // No database yet: the overlay waits for the first sync.
        read.missing = error.kind() == DBError::Kind::cannotOpen;
        if (!read.missing)
            read.error = error.description();
    } catch (const std::exception& error) {
        read.error = std::string(error.what());
    }
    return read;
}

void ChartViewModel::publish(Read& read)
{
    reading_ = false;
    if (read.error) {
        readToken_.reset();
        setLastError(read.error);
    } else if (read.missing) {
        readToken_.reset();
        setState(UsageState{});
        setLastError(std::nullopt);
    } else if (!read.unchanged) {
        // A window that ends now moves with the clock: read again next time.
        readToken_ = read.state.kind == UsageState::Kind::partial ? std::nullopt : read.token;
        setState(std::move(read.state));
        if (read.activeSessions != activeSessionCount_) {
            activeSessionCount_ = read.activeSessions;
            emit activeSessionCountChanged();
        }
        setLastError(std::nullopt);
    }
    if (readAgain_) {
        readAgain_ = false;
        reload();
    }
    emit reloaded();
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
