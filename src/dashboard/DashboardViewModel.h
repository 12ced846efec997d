#pragma once

#include "core/SerialQueue.h"
#include "dashboard/DashboardFilters.h"
#include "dashboard/DashboardAggregator.h"
#include "dashboard/HeldHistory.h"
#include "dashboard/ReportSnapshot.h"
#include "storage/UsageDatabase.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass {

// The report window's state: the whole stored history as last loaded, the
// latest limits, and the user's filters, kept for the life of the program.
//
// Reading a long history and adding it up takes longer than a frame, so each
// runs on a worker thread of its own and their results are handed to the
// interface thread whole: `changed` when the data, filters, loading state or
// error change, `snapshotChanged` when the figures for the current filters are
// ready. A load finds out first whether anything was stored since the last
// one and reads nothing when nothing was, and only what was when the database
// can tell (UsageDatabase::fetchHistorySince).
class DashboardViewModel final : public QObject {
    Q_OBJECT

public:
    using Clock = std::function<Instant()>;

    explicit DashboardViewModel(std::shared_ptr<UsageDatabase> database, Clock now = {}, QObject* parent = nullptr);
    ~DashboardViewModel() override;

    // Reloads everything in the background; dropped while a load runs.
    void load();
    void setPreset(DatePreset preset);
    // Adds the identifiers (a model chip's: those of one display name) to the
    // selection, or takes them out when all are in; none selected means all.
    void toggleModels(const std::vector<std::string>& models);
    // Adds the machine to the selection, or takes it out; none selected means all.
    void toggleMachine(const std::string& machine);
    // Days and hours in the local zone, or UTC's; remembered across runs.
    void setLocalDays(bool local);

    std::span<const DashboardMessage> allMessages() const { return held_.messages(); }
    // The same, shared, for work that outlives a reload on another thread.
    const HeldHistory& history() const { return held_; }
    const std::optional<UsageLimits>& usage() const { return usage_; }
    const DashboardFilters& filters() const { return filters_; }
    bool isLoading() const { return loading_; }
    const std::optional<std::string>& lastError() const { return lastError_; }
    // The distinct identifiers of the whole history, sorted.
    const std::vector<std::string>& availableModels() const { return models_; }
    // The distinct machines of the whole history, sorted.
    const std::vector<std::string>& availableMachines() const { return machines_; }
    // The figures for `snapshot().filters`; they trail `filters()` while being computed.
    const ReportSnapshot& snapshot() const { return *snapshot_; }
    bool isBusy() const { return loading_ || snapshot_->filters != filters_ || computing_; }

signals:
    void changed();
    void snapshotChanged();

private:
    struct Loaded;
    void finishLoad(const std::shared_ptr<Loaded>& loaded);
    void applyPresetToData(DatePreset preset);
    void computeSnapshot();

    std::shared_ptr<UsageDatabase> database_;
    Clock now_;
    HeldHistory held_; // with each message's row, to bring it forward
    std::optional<UsageLimits> usage_;
    std::shared_ptr<const std::vector<LimitReading>> readings_;
    std::vector<std::string> models_;
    std::vector<std::string> machines_;
    std::optional<DashboardAggregator::Span> extent_; // the first and last message's times
    DashboardFilters filters_;
    bool loading_ = false;
    bool computing_ = false;
    std::optional<std::string> lastError_;
    std::optional<std::int64_t> loadedToken_;
    std::shared_ptr<const ReportSnapshot> snapshot_;
    std::shared_ptr<std::atomic<std::uint64_t>> latestSnapshot_;
    std::shared_ptr<std::atomic<bool>> stopping_;
    bool sorted_ = true; // the history is in time order (as the database gives it)
    std::unique_ptr<SerialQueue> loader_;  // reads the history
    std::unique_ptr<SerialQueue> figures_; // adds it up
};

} // namespace tallyglass
