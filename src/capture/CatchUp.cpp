#include "capture/CatchUp.h"

#include "core/IsoTime.h"

#include <QSettings>

namespace tallyglass::CatchUp {

std::optional<TimePoint> watermark()
{
    const QSettings settings("tallyglass", "tallyglass");
    const QString text = settings.value(watermarkKey).toString();
    const auto parsed = IsoTime::parse(text.toStdString());
    if (!parsed)
        return std::nullopt;
    return std::chrono::time_point_cast<TimePoint::duration>(*parsed);
}

void storeWatermark(TimePoint startedAt)
{
    if (const auto stored = watermark(); stored && *stored >= startedAt)
        return;
    QSettings settings("tallyglass", "tallyglass");
    const Instant at = std::chrono::time_point_cast<std::chrono::microseconds>(startedAt);
    settings.setValue(watermarkKey, QString::fromStdString(IsoTime::formatSeconds(at)));
    settings.sync();
}

std::optional<TimePoint> modifiedSince()
{
    const auto stored = watermark();
    if (!stored)
        return std::nullopt;
    return *stored - slack;
}

} // namespace tallyglass::CatchUp
