#pragma once

#include "core/Instant.h"
#include "core/MessageInsert.h"
#include "server/RequestGate.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass {

// Answers an OTLP/HTTP JSON export posted to /v1/logs as an exporter expects:
// 200 with "{}", or with a partialSuccess naming how many records were
// refused; 400 with a sentence for a body that is no export (then nothing of
// it is stored); 413 for a gzip body that inflates past the body limit.
// Records of other kinds are only counted, in one log line a minute at most.
class TelemetryIntake {
public:
    struct Result {
        RequestGate::Response response;
        std::vector<MessageInsert> messages; // to be stored once the answer is out
    };

    // `ownMachine`: this machine's name, whose messages another instance sends back are not stored.
    explicit TelemetryIntake(std::function<Instant()> clock = wallClockNow, std::string ownMachine = {});

    Result receiveLogs(std::string_view body, bool gzip);

private:
    void countOthers(int others);

    const std::function<Instant()> clock_;
    const std::string ownMachine_;
    std::mutex lock_;
    long long othersUnlogged_ = 0;
    Instant lastOthersLog_{};
};

} // namespace tallyglass
