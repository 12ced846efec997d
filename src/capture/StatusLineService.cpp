#include "capture/StatusLineService.h"

#include "core/IsoTime.h"
#include "core/JsonPayload.h"
#include "core/Log.h"

#include <cmath>

namespace tallyglass {

namespace {

Instant systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

// A JSON number as a float: floats first, then integers. Text, even text that
// looks like a number, is no number.
std::optional<double> number(simdjson::simdjson_result<simdjson::dom::element> field)
{
    simdjson::dom::element value;
    if (field.get(value))
        return std::nullopt;
    switch (value.type()) {
    case simdjson::dom::element_type::DOUBLE: return value.get_double().value_unsafe();
    case simdjson::dom::element_type::INT64: return static_cast<double>(value.get_int64().value_unsafe());
    case simdjson::dom::element_type::UINT64: return static_cast<double>(value.get_uint64().value_unsafe());
    default: return std::nullopt;
    }
}

RateLimitWindow parseWindow(simdjson::simdjson_result<simdjson::dom::element> field)
{
    simdjson::dom::object window;
    if (field.get_object().get(window))
        return {};
    RateLimitWindow parsed;
    parsed.utilization = number(window["used_percentage"]);
    if (const auto resetsAt = number(window["resets_at"]); resetsAt && std::isfinite(*resetsAt)
        && std::abs(*resetsAt) < 253'402'300'800.0) { // before year 10000: the text form has four-digit years
        const auto whole = std::chrono::seconds(static_cast<std::int64_t>(std::floor(*resetsAt)));
        parsed.resetsAt = IsoTime::formatSeconds(Instant{std::chrono::duration_cast<std::chrono::microseconds>(whole)});
    }
    return parsed;
}

} // namespace

StatusLineService::StatusLineService(std::shared_ptr<MessageWriter> writer, Clock clock)
    : writer_(std::move(writer))
    , clock_(clock ? std::move(clock) : Clock(systemNow))
{
}

void StatusLineService::handle(const std::string& body)
{
    RateLimitWindow five;
    RateLimitWindow seven;
    {
        simdjson::dom::object payload;
        if (!JsonPayload::parseObject(body, payload))
            return;
        simdjson::dom::object limits;
        if (payload["rate_limits"].get_object().get(limits))
            return;
        five = parseWindow(limits["five_hour"]);
        seven = parseWindow(limits["seven_day"]);
    }
    if (!five.utilization && !five.resetsAt && !seven.utilization && !seven.resetsAt)
        return;
    try {
        writer_->upsertRateLimits(five, seven, clock_());
    } catch (const std::exception& error) {
        Log::line(std::string("StatusLineService write failed: ") + error.what());
    }
}

} // namespace tallyglass
