#pragma once

#include "server/HookHandler.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class QObject;
class QThread;
class QThreadPool;

namespace tallyglass {

// The application's only network endpoint: HTTP/1.1 on one port of the
// loopback addresses (127.0.0.1, and ::1 where the machine has it), one
// request per connection. GET /health answers "ok"; a POST to /event is
// answered at once and its body handed to the router on a worker thread.
//
// Finding a port: start at `startPort`, walk up `portRangeCount` ports while
// the one in hand cannot be listened on, back off 2, 4 and 8 seconds between
// passes, give up after the third. A port counts as free only when every
// loopback address the machine has can be bound on it: otherwise "localhost"
// could reach another program. Coming up on a port other than `startPort`
// remembers it and calls onPortChange on the main thread.
//
// Everything network-facing runs on one thread of its own; listener results
// arrive there asynchronously after start() returns.
class LocalServer {
public:
    struct Options {
        std::chrono::milliseconds backoffBase{2000};     // first back-off; each further one doubles
        std::chrono::milliseconds requestTimeout{10'000}; // a request must have arrived by then
        int maxConnections = 128;                         // further ones are closed at once
        int handlerThreads = 64;                          // handlers waiting on files do not queue behind each other
        int maxPendingHandlers = 1024;                    // beyond this, events are dropped (and logged)
        std::int64_t maxBufferedBytes = 256LL << 20;      // requests being received, all connections together
        std::int64_t maxPendingBodyBytes = 256LL << 20;   // bodies of events waiting for or in their handler
    };

    LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router);
    LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router,
                Options options);
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Called on the main thread with the newly bound port. Set before start().
    void setOnPortChange(std::function<void(std::uint16_t)> callback);

    void start();
    // Stops listening and cancels any pending back-off; open connections finish.
    void stop();
    // 0 until the server has listened once; afterwards the port it listens (or listened) on.
    std::uint16_t boundPort() const;

    // Blocks until no handler is running or waiting, or the time is up.
    bool waitForHandlers(std::chrono::milliseconds timeout);
    int openConnections() const;
    // Bytes of requests being received, all connections together.
    std::int64_t bufferedBytes() const;

private:
    class Network;
    friend class Network;

    void attemptListen();
    void handleReady();
    void handleFailed();
    void tryNextPort();
    void dispatch(std::string body);

    const std::uint16_t startPort_;
    const std::uint16_t portRangeCount_;
    const std::shared_ptr<HookHandler> router_;
    const Options options_;
    std::function<void(std::uint16_t)> onPortChange_;

    mutable std::mutex stateLock_;
    std::uint16_t boundPort_ = 0;
    std::uint16_t currentCandidate_;
    int backoffCycle_ = 0;
    bool stopped_ = false;

    std::atomic<int> pendingHandlers_{0};
    std::atomic<std::int64_t> pendingBodyBytes_{0};
    std::unique_ptr<QObject> mainContext_; // queued port-change calls die with it
    std::unique_ptr<QThreadPool> pool_;
    std::unique_ptr<QThread> thread_;
    Network* network_ = nullptr;           // lives on thread_
};

} // namespace tallyglass
