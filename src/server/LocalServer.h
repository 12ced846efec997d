#pragma once

#include "core/MessageInsert.h"
#include "events/HookHandler.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class QObject;
class QThread;
class QThreadPool;

namespace tallyglass {

class TelemetryIntake;
struct ListenAddress;

// The application's only network endpoint: HTTP/1.1 on one port of the
// loopback addresses (127.0.0.1, and ::1 where the machine has it), one
// request per connection. GET /health answers "ok"; a POST to /event is
// answered at once and its body handed to the router on a worker thread.
// OTLP/HTTP exports posted to /v1/logs are read on the server's thread (their
// answer depends on what they hold) and their messages stored on a worker
// thread once answered; /v1/metrics is answered and not read.
//
// Finding a port: the ports of one range are tried from `startPort`, wrapping
// round to the range's first port, until one can be listened on; between
// passes over the whole range it backs off 2, 4 and 8 seconds, and gives up
// after the third. The search never leaves the range, so a port the server
// comes up on is one the next start accepts as remembered. A port counts as
// free only when every loopback address the machine has can be bound on it:
// otherwise "localhost" could reach another program. Coming up on a port
// other than `startPort` remembers it and calls onPortChange on the main
// thread; coming up at all calls onListening there.
//
// No peer can keep others out: connections slow to deliver their request are
// closed (see ServerConnection), and when every slot is taken the oldest
// connection still waiting for its request gives way to a newcomer. One that
// arrived less than `evictionGrace` ago keeps its slot; the newcomer then waits
// in the kernel's queue, which is long enough for a burst of hook posts.
//
// Beyond the loopback only when asked: listenOuter() opens a second listener,
// on an address and port the user names, for exporters on other machines (a
// devcontainer, a team's Collector). Connections there are taken from anyone
// and held to a Bearer token instead (RequestGate::OuterAccess); they share
// the connection slots and buffer budget with the loopback's.
//
// Everything network-facing runs on one thread of its own; listener results
// arrive there asynchronously after start() returns.
class LocalServer {
public:
    struct PortRange {
        std::uint16_t first;
        std::uint16_t count;
    };

    struct Options {
        std::chrono::milliseconds backoffBase{2000};      // first back-off; each further one doubles
        std::chrono::milliseconds headTimeout{2000};      // a request's header block must have arrived by then
        std::chrono::milliseconds bodyTimeout{5000};      // and its body this long after the header block
        std::chrono::milliseconds requestTimeout{10'000}; // the whole request must have arrived by then
        int maxConnections = 128;                         // open at once; see evictionGrace
        std::chrono::milliseconds evictionGrace{250};     // a connection this new does not give way
        int listenBacklog = 4096;                         // connections the kernel holds until accepted
        int handlerThreads = 64;                          // handlers waiting on files do not queue behind each other
        int maxPendingHandlers = 1024;                    // beyond this, events are dropped (and logged)
        // Requests being received, all connections together: a few bodies at
        // their limit. A request with no room is answered 503 with Retry-After.
        std::int64_t maxBufferedBytes = 16LL << 20;
        std::int64_t maxPendingBodyBytes = 32LL << 20;    // bodies of events waiting for or in their handler
        // Runs `retry` after a back-off of `delay`, from any thread; by default
        // a timer on the server's thread. Tests hold retries to fire them.
        std::function<void(std::chrono::milliseconds delay, std::function<void()> retry)> scheduleRetry{};
    };

    // Searches `range` from `startPort` (from its first port when `startPort` is outside it).
    LocalServer(PortRange range, std::uint16_t startPort, std::shared_ptr<HookHandler> router);
    LocalServer(PortRange range, std::uint16_t startPort, std::shared_ptr<HookHandler> router, Options options);
    // Searches the range of `portRangeCount` ports that begins at `startPort`.
    LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router);
    LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router,
                Options options);
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Called on the main thread with the newly bound port. Set before start().
    void setOnPortChange(std::function<void(std::uint16_t)> callback);
    // Called on the main thread with the port every time the server comes up. Set before start().
    void setOnListening(std::function<void(std::uint16_t)> callback);
    // Reads OTLP logs exports and hands their messages to `store` on a worker
    // thread; without it /v1/logs is not found. Set before start().
    void setTelemetry(std::shared_ptr<TelemetryIntake> intake,
                      std::function<void(const std::vector<MessageInsert>&)> store);

    void start();
    // Stops listening (the listener for other machines too) and cancels any
    // pending back-off or port search: nothing but another start() (and
    // listenOuter()) listens again. Open connections finish.
    void stop();
    // Opens the listener for other machines on `address`, whose requests must
    // carry `token`, in place of any open one; with nothing, closes it. Says
    // in one line that it listens, or why it cannot; false then. Independent
    // of start(): the loopback's port search neither waits for nor moves it.
    bool listenOuter(const std::optional<ListenAddress>& address, std::string token);
    // 0 until the server has listened once; afterwards the port it listens (or listened) on.
    std::uint16_t boundPort() const;
    // Whether it listens now, once everything already asked of its thread is done.
    bool isListening() const;

    // Blocks until no handler is running or waiting, or the time is up.
    bool waitForHandlers(std::chrono::milliseconds timeout);
    int openConnections() const;
    // Bytes set aside for requests being received, all connections together.
    std::int64_t bufferedBytes() const;

private:
    class Network;
    friend class Network;

    // Runs `work` on the server's thread and returns once it has run.
    void onNetworkThreadAndWait(std::function<void()> work) const;
    void queueAttempt(std::uint64_t search);
    void attemptListen(std::uint64_t search);
    void handleReady(std::uint64_t search);
    void tryNextPort(std::uint64_t search);
    void announce(std::uint16_t port, bool moved);
    void dispatch(std::string body);
    std::function<void()> receiveTelemetry(std::string body, bool gzip, std::string& status, std::string& answer);
    // Runs `job` on the pool, counted as a handler holding `bytes`; drops it when too many wait.
    void runHandler(std::int64_t bytes, std::function<void()> job);

    const PortRange range_;
    const std::uint16_t startPort_;
    const std::shared_ptr<HookHandler> router_;
    const Options options_;
    std::function<void(std::uint16_t)> onPortChange_;
    std::function<void(std::uint16_t)> onListening_;
    std::shared_ptr<TelemetryIntake> telemetry_;
    std::function<void(const std::vector<MessageInsert>&)> storeTelemetry_;

    // A search is one start() until it binds, gives up or is stopped; a retry
    // of an earlier search (a back-off that fires late) finds its number
    // outdated and does nothing.
    mutable std::mutex stateLock_;
    std::uint16_t boundPort_ = 0;
    std::uint16_t currentCandidate_;
    int triedThisPass_ = 0;
    int backoffCycle_ = 0;
    std::uint64_t search_ = 0;
    bool stopped_ = false;

    std::atomic<int> pendingHandlers_{0};
    std::atomic<std::int64_t> pendingBodyBytes_{0};
    std::unique_ptr<QObject> mainContext_; // queued port-change calls die with it
    std::unique_ptr<QThreadPool> pool_;
    std::unique_ptr<QThread> thread_;
    Network* network_ = nullptr;           // lives on thread_
};

} // namespace tallyglass
