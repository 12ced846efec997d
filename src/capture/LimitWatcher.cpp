#include "capture/LimitWatcher.h"

#include "core/DayClock.h"
#include "core/ThreadHandoff.h"
#include "storage/Preferences.h"

#include <QCoreApplication>
#include <QThread>

#include <ctime>

namespace tallyglass {

namespace {

Instant systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

} // namespace

LimitWatcher::LimitWatcher(Notify notify, Clock clock, QObject* parent)
    : QObject(parent)
    , notify_(std::move(notify))
    , clock_(clock ? std::move(clock) : Clock(systemNow))
    , warnings_(Preferences::shared().warningThresholds(), LimitWarnings::State::parse(Preferences::shared().warningState()),
                DayClock::offsetAt)
    , timer_(new QTimer(this))
{
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] { tick(); });
    scheduleTick(); // a warned window may reset while the program is down, or soon after it starts
}

void LimitWatcher::onReading(const LimitReading& reading)
{
    std::vector<std::string> texts;
    {
        std::lock_guard lock(mutex_);
        // The status line is drawn again and again with the same values: those say nothing new.
        if (last_ && last_->sameValues(reading))
            return;
        last_ = reading;
        warnings_.setThresholds(Preferences::shared().warningThresholds());
        warnings_.setPaceEnabled(Preferences::shared().paceWarningEnabled());
        const auto before = warnings_.state();
        texts = warnings_.onReading(reading, clock_());
        // Stored when a window or what it spent changes, not for every redraw of the status line.
        if (!(warnings_.state().fiveHour == before.fiveHour && warnings_.state().sevenDay == before.sevenDay))
            store();
    }
    QMetaObject::invokeMethod(this, handedOff([this] { scheduleTick(); }), Qt::QueuedConnection);
    say(texts);
}

void LimitWatcher::remember(const std::vector<LimitReading>& readings)
{
    std::lock_guard lock(mutex_);
    warnings_.remember(readings);
}

void LimitWatcher::tick()
{
    std::vector<std::string> texts;
    {
        std::lock_guard lock(mutex_);
        const auto before = warnings_.state();
        texts = warnings_.onTick(clock_());
        if (!(warnings_.state() == before))
            store();
    }
    scheduleTick();
    say(texts);
}

void LimitWatcher::scheduleTick()
{
    std::optional<Instant> next;
    {
        std::lock_guard lock(mutex_);
        next = warnings_.nextTick();
    }
    if (!next) {
        timer_->stop();
        return;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(*next - clock_());
    // Timers take ints: a far reset is looked at again within a day.
    timer_->start(static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 86'400'000)));
}

void LimitWatcher::say(const std::vector<std::string>& texts)
{
    if (texts.empty() || !Preferences::shared().warningsEnabled() || !notify_)
        return;
    for (const std::string& text : texts)
        notify_(text);
}

// Under the lock: the state on disk follows every change, so a restart warns no window twice.
void LimitWatcher::store()
{
    Preferences::shared().setWarningState(warnings_.state().serialise());
}

} // namespace tallyglass
