#pragma once

#include "overlay/ChartValues.h"
#include "overlay/UsageState.h"
#include "storage/UsageDatabase.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tallyglass {

class ImportService;
class SerialQueue;

// The state behind the overlay chart, on the interface thread: the current
// five-hour window read from the database, the import's progress, and every
// value the chart derives from them. Each published value has a signal.
// reload() is called by whoever notices a change; the model never decides
// when to read on its own. The clock is injected, so tests step time.
//
// A read may wait on a busy disk or a writer's lock, so it runs on a worker
// thread of the model's own and its outcome is published here, whole. It
// asks the database first whether anything was stored since the last read,
// and reads nothing when nothing was and the window does not follow the
// clock.
class ChartViewModel final : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<Instant()>;

    static constexpr std::chrono::seconds tickInterval{30};

    // `imports`: the history import, whose progress the card shows (it may be absent).
    ChartViewModel(std::shared_ptr<UsageDatabase> database, ImportService* imports, Clock clock = {}, QObject* parent = nullptr);
    ~ChartViewModel() override;

    const UsageState& state() const { return state_; }
    // What went wrong last: reading the window, or storing what is captured.
    std::optional<std::string> lastError() const;
    std::int64_t activeSessionCount() const { return activeSessionCount_; }
    const ScanProgress& scanProgress() const { return scanProgress_; }
    Instant now() const { return clock_(); }

    // Reads the window and the active sessions in the background, then
    // publishes them and says `reloaded`. A database that cannot be opened
    // (no file yet) is the empty state, not an error; any other failure keeps
    // the previous state and sets lastError. Asked for while a read runs, it
    // reads once more after that one, however often it was asked.
    void reload();
    // Asks the import service for a run (Refresh); does nothing while one runs.
    // Its progress is published here, and the window read again after it.
    void scanProjects();
    // Storing captured messages fails (why), or works again (nothing).
    void setStoreProblem(std::optional<std::string> problem);
    // What the 30-second timer does: says that the clock moved, for what counts down.
    void tick();

    std::optional<Instant> currentAnchor() const { return ChartValues::currentAnchor(state_); }
    std::vector<Bucketize::BarSegment> barSegments() const { return ChartValues::barSegments(state_); }
    std::vector<ChartValues::SeriesPoint> cumulativeSeries() const { return ChartValues::cumulativeSeries(state_); }
    std::optional<std::vector<ChartValues::SeriesPoint>> cumulativePercentSeries() const
    {
        return ChartValues::cumulativePercentSeries(state_);
    }
    std::vector<std::string> chartDomain() const { return ChartValues::chartDomain(barSegments()); }
    std::set<std::int64_t> nonEmptyBuckets() const { return ChartValues::nonEmptyBuckets(barSegments()); }
    std::vector<ChartValues::ModelTotal> modelTotals() const { return ChartValues::modelTotals(barSegments()); }
    std::vector<ChartValues::ModelTotal> bucketStats(std::int64_t bucket) const
    {
        return ChartValues::bucketStats(barSegments(), bucket);
    }
    std::string sessionPercentText() const { return ChartValues::sessionPercentText(state_); }
    ChartValues::PercentColor sessionPercentColor() const { return ChartValues::sessionPercentColor(state_); }
    std::string resetCountdownText() const { return ChartValues::resetCountdownText(state_, clock_()); }
    bool shouldPromptTrigger() const { return ChartValues::shouldPromptTrigger(state_, clock_()); }
    static std::string formatTokens(std::int64_t tokens) { return ChartValues::formatTokens(tokens); }

signals:
    void stateChanged();
    void lastErrorChanged();
    void nowTickChanged();
    void activeSessionCountChanged();
    void scanProgressChanged();
    // After every import, successful or not.
    void scanFinished(bool succeeded);
    // After every reload's outcome is published, whether anything changed or not.
    void reloaded();

private:
    struct Read;
    static Read readWindow(UsageDatabase& database, Instant now, std::optional<std::int64_t> known);
    void publish(Read& read);
    void setState(UsageState state);
    void setLastError(std::optional<std::string> error);
    void setScanProgress(ScanProgress progress);
    void finishScan();

    std::shared_ptr<UsageDatabase> database_;
    ImportService* imports_;
    Clock clock_;
    UsageState state_;
    std::optional<std::string> lastError_;
    std::optional<std::string> storeProblem_;
    std::int64_t activeSessionCount_ = 0;
    ScanProgress scanProgress_;
    QTimer tickTimer_;
    bool reading_ = false;
    bool readAgain_ = false; // asked for while reading
    // What the last full read saw, when its outcome does not follow the clock.
    std::optional<std::int64_t> readToken_;
    std::shared_ptr<std::atomic<bool>> stopping_;
    std::unique_ptr<SerialQueue> reader_;
};

} // namespace tallyglass
