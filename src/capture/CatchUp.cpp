#include "capture/CatchUp.h"

#include "core/IsoTime.h"
#include "storage/MessageWriter.h"

namespace tallyglass::CatchUp {

std::optional<TimePoint> watermark(MessageWriter& writer)
{
    const auto text = writer.stateValue(watermarkKey);
    const auto parsed = text ? IsoTime::parse(*text) : std::nullopt;
    if (!parsed)
        return std::nullopt;
    return std::chrono::time_point_cast<TimePoint::duration>(*parsed);
}

void storeWatermark(MessageWriter& writer, TimePoint startedAt)
{
    if (const auto stored = watermark(writer); stored && *stored >= startedAt)
        return;
    const Instant at = std::chrono::time_point_cast<std::chrono::microseconds>(startedAt);
    writer.setStateValue(watermarkKey, IsoTime::formatSeconds(at));
}

std::optional<TimePoint> modifiedSince(MessageWriter& writer)
{
    const auto stored = watermark(writer);
    if (!stored)
        return std::nullopt;
    return *stored - slack;
}

} // namespace tallyglass::CatchUp
