#include "capture/StatusLineService.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/Log.h"
#include "events/HookPayload.h"

#include <cmath>

namespace tallyglass {

namespace {

Instant systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

// Readings outside these bounds are no readings: a reset lies between the
// years 2000 and 9999 (the text form has four-digit years).
constexpr double earliestReset = 946'684'800;     // 2000-01-01T00:00:00Z
constexpr double latestReset = 253'402'300'800;   // 10000-01-01T00:00:00Z

RateLimitWindow toWindow(const HookPayload::LimitWindow& window)
{
    RateLimitWindow parsed;
    parsed.utilization = Bounds::utilization(window.usedPercentage);
    if (const auto resetsAt = window.resetsAt; resetsAt && *resetsAt >= earliestReset && *resetsAt < latestReset) {
        const auto whole = std::chrono::seconds(static_cast<std::int64_t>(std::floor(*resetsAt)));
        parsed.resetsAt = IsoTime::formatSeconds(Instant{std::chrono::duration_cast<std::chrono::microseconds>(whole)});
    }
    return parsed;
}

} // namespace

StatusLineService::StatusLineService(std::shared_ptr<MessageWriter> writer, Clock clock, Observer observer)
    : writer_(std::move(writer))
    , clock_(clock ? std::move(clock) : Clock(systemNow))
    , observer_(std::move(observer))
{
}

void StatusLineService::handle(const std::string& body)
{
    const auto limits = HookPayload::limits(body);
    if (!limits)
        return;
    const RateLimitWindow five = toWindow(limits->fiveHour);
    const RateLimitWindow seven = toWindow(limits->sevenDay);
    if (!five.utilization && !five.resetsAt && !seven.utilization && !seven.resetsAt)
        return;
    const Instant at = clock_();
    try {
        writer_->upsertRateLimits(five, seven, at);
    } catch (const std::exception& error) {
        Log::line(std::string("StatusLineService write failed: ") + error.what());
        return;
    }
    if (observer_) {
        const auto instant = [](const std::optional<std::string>& text) {
            return text ? IsoTime::parse(*text) : std::nullopt;
        };
        observer_({at, five.utilization, instant(five.resetsAt), seven.utilization, instant(seven.resetsAt)});
    }
}

} // namespace tallyglass
