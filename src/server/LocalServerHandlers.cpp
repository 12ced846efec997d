#include "server/LocalServer.h"

#include "core/Log.h"
#include "core/ThreadHandoff.h"
#include "server/TelemetryIntake.h"

#include <QThreadPool>

// What the server hands on once a request is answered: hook events to the
// router, telemetry messages to their store, each on the handler pool within
// the limits of LocalServer::Options.
namespace tallyglass {

void LocalServer::setTelemetry(std::shared_ptr<TelemetryIntake> intake,
                               std::function<void(const std::vector<MessageInsert>&)> store)
{
    telemetry_ = std::move(intake);
    storeTelemetry_ = std::move(store);
}

std::function<void()> LocalServer::receiveTelemetry(std::string body, bool gzip, std::string& status,
                                                    std::string& answer)
{
    if (!telemetry_) {
        status = "404 Not Found";
        answer = "not found";
        return {};
    }
    auto result = telemetry_->receiveLogs(body, gzip);
    status = std::move(result.response.status);
    answer = std::move(result.response.body);
    if (result.messages.empty())
        return {};
    const auto bytes = static_cast<std::int64_t>(body.size());
    return [this, bytes, messages = std::move(result.messages)]() mutable {
        runHandler(bytes, [this, messages = std::move(messages)] { storeTelemetry_(messages); });
    };
}

void LocalServer::dispatch(std::string body)
{
    const auto bytes = static_cast<std::int64_t>(body.size());
    runHandler(bytes, [this, body = std::move(body)] { router_->handle(body); });
}

void LocalServer::runHandler(std::int64_t bytes, std::function<void()> job)
{
    const int handlersBefore = pendingHandlers_.fetch_add(1);
    const std::int64_t bytesBefore = pendingBodyBytes_.fetch_add(bytes);
    if (handlersBefore >= options_.maxPendingHandlers || bytesBefore + bytes > options_.maxPendingBodyBytes) {
        pendingHandlers_.fetch_sub(1);
        pendingBodyBytes_.fetch_sub(bytes);
        Log::line("too many events waiting to be handled; dropped one");
        return;
    }
    pool_->start(handedOff([this, bytes, job = std::move(job)] {
        try {
            job();
        } catch (const std::exception& error) {
            Log::line(std::string("event handler failed: ") + error.what());
        } catch (...) {
            Log::line("event handler failed");
        }
        pendingBodyBytes_.fetch_sub(bytes);
        // Whoever waits for the handlers goes on with what this one did.
        handoffPublished(&pendingHandlers_);
        pendingHandlers_.fetch_sub(1);
    }));
}

} // namespace tallyglass
