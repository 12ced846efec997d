#include "dashboard/DashboardViewModel.h"

#include "core/ThreadHandoff.h"
#include "dashboard/HeldHistory.h"
#include "dashboard/TextIndex.h"
#include "pricing/ModelMapper.h"
#include "storage/DBError.h"
#include "storage/Preferences.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <set>

namespace tallyglass {

struct DashboardViewModel::Loaded {
    bool unchanged = false;
    std::optional<std::string> error;
    HeldHistory history;
    std::optional<UsageLimits> usage;
    std::shared_ptr<const std::vector<LimitReading>> readings;
    std::vector<std::string> models;
    std::vector<std::string> machines;
    std::optional<DashboardAggregator::Span> extent;
    bool sorted = true;
    std::optional<std::int64_t> token;
};

namespace {

std::string describe(const std::exception& error)
{
    if (const auto* db = dynamic_cast<const DBError*>(&error))
        return db->description();
    return error.what();
}

// The history brought forward from the one held by what was stored since,
// or read whole when the database cannot say what that was.
HeldHistory readHistory(UsageDatabase& database, const HeldHistory& held)
{
    if (held.mark().exact) {
        if (auto changes = database.fetchHistorySince(held.mark()))
            return held.broughtForward(std::move(*changes));
    }
    return HeldHistory(database.fetchHistory());
}

// The history's identifiers, span and order, from those of the one it
// extends where it only added at its end: a year of messages is not walked
// again for one more.
struct HistoryFacts {
    std::vector<std::string> models;
    std::vector<std::string> machines;
    std::optional<DashboardAggregator::Span> extent;
    bool sorted = true;
};

HistoryFacts factsOf(const HeldHistory& history, const HeldHistory& held, const HistoryFacts& heldFacts)
{
    HistoryFacts facts;
    const auto all = history.messages();
    const bool extends = history.extends(held);
    const auto added = extends ? all.subspan(held.size()) : all;
    TextIndex<AsIs> distinct;
    TextIndex<AsIs> distinctMachines;
    for (const DashboardMessage& m : added) {
        distinct(m.model);
        distinctMachines(m.machine);
    }
    std::set<std::string> models(distinct.keys().begin(), distinct.keys().end());
    std::set<std::string> machines(distinctMachines.keys().begin(), distinctMachines.keys().end());
    if (extends) {
        models.insert(heldFacts.models.begin(), heldFacts.models.end());
        machines.insert(heldFacts.machines.begin(), heldFacts.machines.end());
    }
    facts.models.assign(models.begin(), models.end());
    facts.machines.assign(machines.begin(), machines.end());
    facts.extent = DashboardAggregator::extent(added);
    const auto& before = heldFacts.extent;
    if (extends && before)
        facts.extent = facts.extent ? DashboardAggregator::Span{std::min(before->first, facts.extent->first),
                                                                std::max(before->second, facts.extent->second)}
                                    : before;
    facts.sorted = DashboardAggregator::isSortedByTime(added);
    if (extends)
        facts.sorted = facts.sorted && heldFacts.sorted
                    && (held.empty() || added.empty() || held.messages().back().timestamp <= added.front().timestamp);
    return facts;
}

} // namespace

DashboardViewModel::DashboardViewModel(std::shared_ptr<UsageDatabase> database, Clock now, QObject* parent)
    : QObject(parent)
    , database_(std::move(database))
    , now_(now ? std::move(now) : Clock([] { return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()); }))
    , snapshot_(std::make_shared<const ReportSnapshot>())
    , latestSnapshot_(std::make_shared<std::atomic<std::uint64_t>>(0))
    , stopping_(std::make_shared<std::atomic<bool>>(false))
    , loader_(std::make_unique<SerialQueue>("tallyglass.reportLoad"))
    , figures_(std::make_unique<SerialQueue>("tallyglass.reportSums"))
{
    filters_.localDays = Preferences::shared().reportDaysLocal();
}

// Queued jobs see the flag and do nothing; one already running ends as it
// would, and its result, posted to an object that is gone, is dropped.
DashboardViewModel::~DashboardViewModel()
{
    stopping_->store(true);
    figures_->finish();
    loader_->finish();
    figures_.reset();
    loader_.reset();
}

void DashboardViewModel::load()
{
    if (loading_)
        return;
    loading_ = true;
    emit changed();
    QPointer<DashboardViewModel> self(this);
    loader_->async([self, stopping = stopping_, database = database_, known = held_.empty() ? std::nullopt : loadedToken_,
                    held = held_, heldFacts = HistoryFacts{models_, machines_, extent_, sorted_}] {
        if (stopping->load())
            return;
        auto loaded = std::make_shared<Loaded>();
        try {
            loaded->token = database->changeToken();
            if (known && loaded->token == known) {
                loaded->unchanged = true;
            } else {
                loaded->history = readHistory(*database, held);
                loaded->usage = database->fetchUsageLimits();
                loaded->readings = std::make_shared<const std::vector<LimitReading>>(
                    database->fetchLimitReadings(Instant{}, Instant{std::chrono::hours(24 * 365 * 8000)}));
                HistoryFacts facts = factsOf(loaded->history, held, heldFacts);
                loaded->models = std::move(facts.models);
                loaded->machines = std::move(facts.machines);
                loaded->extent = facts.extent;
                loaded->sorted = facts.sorted;
            }
        } catch (const std::exception& error) {
            loaded->error = describe(error);
        }
        QMetaObject::invokeMethod(
            self, handedOff([self, loaded] {
                if (self)
                    self->finishLoad(loaded);
            }),
            Qt::QueuedConnection);
    });
}

void DashboardViewModel::finishLoad(const std::shared_ptr<Loaded>& loaded)
{
    loading_ = false;
    if (loaded->error) {
        lastError_ = loaded->error; // the figures on screen stay as they were
        emit changed();
        return;
    }
    if (!loaded->unchanged) {
        const bool wasEmpty = held_.empty();
        // The old history goes on the loader's thread: freeing a million
        // messages here would hold the window up.
        loader_->async([old = std::move(held_)] {});
        held_ = std::move(loaded->history);
        sorted_ = loaded->sorted;
        usage_ = loaded->usage;
        readings_ = loaded->readings;
        models_ = std::move(loaded->models);
        machines_ = std::move(loaded->machines);
        extent_ = loaded->extent;
        loadedToken_ = loaded->token;
        if (wasEmpty) {
            const bool localDays = filters_.localDays; // the user's choice, not the history's
            filters_ = DashboardFilters{};
            filters_.localDays = localDays;
        }
        // A chosen identifier the history no longer holds would have no chip to turn it off.
        std::erase_if(filters_.models, [&](const std::string& model) {
            return !std::binary_search(models_.begin(), models_.end(), model);
        });
        // A chip stands for a name: an identifier new to the history joins its name's choice.
        std::set<std::string> chosenNames;
        for (const std::string& model : filters_.models)
            chosenNames.insert(ModelMapper::displayName(model));
        for (const std::string& model : models_)
            if (chosenNames.contains(ModelMapper::displayName(model)))
                filters_.models.insert(model);
        // Nor a machine gone, or one left alone (its chips are shown only beside another's).
        std::erase_if(filters_.machines, [&](const std::string& machine) {
            return machines_.size() < 2 || !std::binary_search(machines_.begin(), machines_.end(), machine);
        });
    }
    // Time has passed since the last load: the preset's window moves with it.
    applyPresetToData(filters_.preset);
    lastError_.reset();
    emit changed();
    // A block shown as going on is over at its end, stored messages or not.
    const bool blockOver = snapshot_->activeBlock && now_() >= snapshot_->activeBlock->end;
    if (!loaded->unchanged || snapshot_->filters != filters_ || blockOver)
        computeSnapshot();
}

void DashboardViewModel::applyPresetToData(DatePreset preset)
{
    filters_.preset = preset;
    if (extent_) {
        const DayClock clock = filters_.clock();
        std::tie(filters_.from, filters_.to) =
            DashboardAggregator::applyPreset(preset, DashboardAggregator::daysAround(*extent_, clock), now_(), clock);
    }
}

void DashboardViewModel::setPreset(DatePreset preset)
{
    applyPresetToData(preset);
    emit changed();
    computeSnapshot();
}

void DashboardViewModel::setLocalDays(bool local)
{
    Preferences::shared().setReportDaysLocal(local);
    if (filters_.localDays == local)
        return;
    filters_.localDays = local;
    applyPresetToData(filters_.preset);
    emit changed();
    computeSnapshot();
}

void DashboardViewModel::toggleModels(const std::vector<std::string>& models)
{
    const bool allIn = std::all_of(models.begin(), models.end(), [&](const std::string& m) { return filters_.models.contains(m); });
    for (const std::string& m : models) {
        if (allIn)
            filters_.models.erase(m);
        else
            filters_.models.insert(m);
    }
    emit changed();
    computeSnapshot();
}

void DashboardViewModel::toggleMachine(const std::string& machine)
{
    if (!filters_.machines.erase(machine))
        filters_.machines.insert(machine);
    emit changed();
    computeSnapshot();
}

// The newest request wins: one still waiting when a newer one comes is skipped.
// The sums have their own thread, so a chip answers even while a reload reads.
void DashboardViewModel::computeSnapshot()
{
    const std::uint64_t generation = ++*latestSnapshot_;
    computing_ = true;
    QPointer<DashboardViewModel> self(this);
    figures_->async([self, generation, latest = latestSnapshot_, stopping = stopping_, held = held_, sorted = sorted_,
                     filters = filters_, usage = usage_, readings = readings_, now = now_()] {
        if (latest->load() != generation || stopping->load())
            return;
        auto snapshot = std::make_shared<const ReportSnapshot>(ReportSnapshot::compute(held.messages(), filters, usage, sorted, readings.get(), now));
        QMetaObject::invokeMethod(
            self, handedOff([self, generation, snapshot] {
                if (!self || self->latestSnapshot_->load() != generation)
                    return;
                self->snapshot_ = snapshot;
                self->computing_ = false;
                emit self->snapshotChanged();
            }),
            Qt::QueuedConnection);
    });
}

} // namespace tallyglass
