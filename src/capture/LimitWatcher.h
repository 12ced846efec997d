#pragma once

#include "capture/LimitWarnings.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace tallyglass {

// Warns before the rate limits: runs each new reading through LimitWarnings
// with the user's settings, keeps its state across restarts, and says the
// reset of a warned five-hour window when it comes, reading or not. Readings
// arrive on the server's threads; `notify` is called on whichever thread has
// something to say, never under the watcher's lock.
class LimitWatcher final : public QObject {
public:
    using Notify = std::function<void(const std::string& text)>;
    using Clock = std::function<Instant()>;

    explicit LimitWatcher(Notify notify, Clock clock = {}, QObject* parent = nullptr);

    void onReading(const LimitReading& reading);
    // The stored readings, taken at start-up, so that the pace of a window
    // begun before it goes on (readings that arrive later are passed as they come).
    void remember(const std::vector<LimitReading>& readings);

private:
    void tick();
    void scheduleTick();
    void say(const std::vector<std::string>& texts);
    void store();

    Notify notify_;
    Clock clock_;
    std::mutex mutex_;
    LimitWarnings warnings_;
    std::optional<LimitReading> last_;
    QTimer* timer_ = nullptr;
};

} // namespace tallyglass
