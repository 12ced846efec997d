#pragma once

#include "overlay/ChartValues.h"
#include "overlay/UsageState.h"
#include "storage/UsageDatabase.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tallyglass {

class ImportService;

// The state behind the overlay chart, on the interface thread: the current
// five-hour window read from the database, the import's progress, and every
// value the chart derives from them. Each published value has a signal.
// reload() is called by whoever notices a change; the model never decides
// when to read on its own. The clock is injected, so tests step time.
class ChartViewModel final : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<Instant()>;

    static constexpr std::chrono::seconds tickInterval{30};

    // `imports`: the history import, whose progress the card shows (it may be absent).
    ChartViewModel(std::shared_ptr<UsageDatabase> database, ImportService* imports, Clock clock = {}, QObject* parent = nullptr);

    const UsageState& state() const { return state_; }
    // What went wrong last: reading the window, or storing what is captured.
    std::optional<std::string> lastError() const;
    Instant nowTick() const { return nowTick_; }
    std::int64_t activeSessionCount() const { return activeSessionCount_; }
    const ScanProgress& scanProgress() const { return scanProgress_; }
    Instant now() const { return clock_(); }

    // Reads the window, the active sessions and publishes them. A database
    // that cannot be opened (no file yet) is the empty state, not an error;
    // any other failure keeps the previous state and sets lastError.
    void reload();
    // Asks the import service for a run (Refresh); does nothing while one runs.
    // Its progress is published here, and the window read again after it.
    void scanProjects();
    // Storing captured messages fails (why), or works again (nothing).
    void setStoreProblem(std::optional<std::string> problem);
    // What the 30-second timer does: nowTick follows the clock.
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
    // After every import, successful or not (the desktop shell keeps its marks by it).
    void scanFinished(bool succeeded);

private:
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
    Instant nowTick_;
    std::int64_t activeSessionCount_ = 0;
    ScanProgress scanProgress_;
    QTimer tickTimer_;
};

} // namespace tallyglass
