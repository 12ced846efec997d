#include "server/TelemetryIntake.h"

#include "core/Log.h"
#include "server/Gzip.h"
#include "server/TelemetryLogs.h"

#include <nlohmann/json.hpp>

namespace tallyglass {

namespace {

RequestGate::Response jsonAnswer(std::string status, const std::string& sentence)
{
    return {std::move(status), nlohmann::json{{"message", sentence}}.dump()};
}

} // namespace

TelemetryIntake::TelemetryIntake(std::function<Instant()> clock, std::string ownMachine)
    : clock_(std::move(clock))
    , ownMachine_(std::move(ownMachine))
{
}

TelemetryIntake::Result TelemetryIntake::receiveLogs(std::string_view body, bool gzip)
{
    Gzip::Result inflated;
    if (gzip) {
        inflated = Gzip::inflate(body, RequestGate::maxBodyBytes);
        if (inflated.status == Gzip::Status::tooLarge)
            return {{"413 Payload Too Large", "payload too large"}, {}};
        if (inflated.status != Gzip::Status::ok)
            return {jsonAnswer("400 Bad Request", "The body is not a complete gzip stream."), {}};
        body = inflated.data;
    }
    auto batch = TelemetryLogs::read(body, clock_(), ownMachine_);
    if (!batch)
        return {jsonAnswer("400 Bad Request", "The body is not an OTLP logs export in JSON."), {}};
    countOthers(batch->otherEvents);
    Result result{{"200 OK", "{}"}, std::move(batch->messages)};
    if (batch->refused > 0) {
        result.response.body = nlohmann::json{{"partialSuccess",
                                               {{"rejectedLogRecords", batch->refused},
                                                {"errorMessage", batch->firstProblem}}}}
                                   .dump();
    }
    return result;
}

void TelemetryIntake::countOthers(int others)
{
    if (others == 0)
        return;
    const std::lock_guard guard(lock_);
    othersUnlogged_ += others;
    const Instant now = clock_();
    if (lastOthersLog_ != Instant{} && now - lastOthersLog_ < std::chrono::minutes(1))
        return;
    Log::line("telemetry: " + std::to_string(othersUnlogged_) + " log records of other events received, not stored");
    othersUnlogged_ = 0;
    lastOthersLog_ = now;
}

} // namespace tallyglass
