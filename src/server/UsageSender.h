#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QThread;

namespace tallyglass {

class WriteDatabase;

// Sends this machine's stored messages to an OTLP/HTTP collector as JSON logs
// (SentMessages), gzip-compressed, in batches in the order they were stored.
// Only messages read from this machine's transcripts go: what came by
// telemetry, from Claude Code or from another instance, is never sent on, so
// two instances sending to each other never loop.
//
// How far the endpoint has accepted is kept in the database (WriteDatabase::
// sentMark), so a restart goes on where the last run stopped, and a file
// replaced sends its own history. A message changed after it was sent (a
// transcript line repeated with larger counts, a new price) is not sent
// again: the receiver prices what it stores with its own list anyway.
//
// Everything runs on a thread of its own; nothing waits for an answer, and a
// few batches are on their way at once. When the endpoint cannot be reached
// or answers with a failure, everything after the last batch taken (with none
// missing before it) is tried again after 1 s, doubling to 5 min, or after the seconds a 429 or 503
// names in Retry-After; a 413 halves the batch. Nothing is skipped: a
// receiver that is away for hours gets everything once it is back.
class UsageSender {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        int batchSize = 1'000;
        int inFlight = 4; // batches posted before the first is answered
        std::chrono::milliseconds firstPause{1'000};
        std::chrono::milliseconds longestPause{300'000};
        // Where the time comes from: the steady clock, or a clock a test moves
        // by hand (and then calls timeMoved()).
        std::function<Clock::time_point()> now{};
    };

    // What the sender has done, for the tests and the log.
    struct Progress {
        std::int64_t sentThrough = 0; // the rowid of the last message accepted
        std::int64_t batchesSent = 0;
        int failuresInRow = 0;
        std::optional<Clock::time_point> retryAt; // while waiting after a failure
    };

    // `endpoint` as the user wrote it (endpointProblem() has nothing to say of
    // it); `machine` the name its messages go out under (the resource's host.name).
    UsageSender(std::string endpoint, std::shared_ptr<WriteDatabase> writer, std::string machine, Options options);
    UsageSender(std::string endpoint, std::shared_ptr<WriteDatabase> writer);
    ~UsageSender();
    UsageSender(const UsageSender&) = delete;
    UsageSender& operator=(const UsageSender&) = delete;

    // Begins with what is stored and not yet sent, and from then on with what
    // the writer stores (WriteDatabase::setOnMessagesStored).
    void start();
    // New messages may be stored; from any thread.
    void wake();
    // For a clock of a test's own: looks at the time again; returns once a
    // batch now due is on its way.
    void timeMoved();
    Progress progress() const;

    // Why an address cannot be sent to, in a sentence; nothing for one that
    // can: http or https with a host.
    static std::optional<std::string> endpointProblem(std::string_view endpoint);
    // Where the logs go: the address as given, with /v1/logs when it has no
    // path, as OpenTelemetry's exporters do with a collector's bare address.
    static std::string logsUrl(std::string_view endpoint);
    // The logs URL as the log shows it: a password in it left out.
    static std::string shownUrl(std::string_view endpoint);

private:
    class Worker;
    void onSendingThreadAndWait(std::function<void()> work);

    std::unique_ptr<QThread> thread_;
    Worker* worker_ = nullptr; // lives on thread_
    std::shared_ptr<WriteDatabase> writer_;
};

} // namespace tallyglass
