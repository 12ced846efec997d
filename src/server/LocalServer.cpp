#include "server/LocalServer.h"

#include "core/Log.h"
#include "core/ThreadHandoff.h"
#include "server/ListenAddress.h"
#include "server/LoopbackListener.h"
#include "server/PeerOwner.h"
#include "server/ServerConnection.h"
#include "server/ServerConstants.h"
#include "server/TelemetryIntake.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <charconv>
#include <cerrno>
#include <cstring>
#include <list>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass {

namespace {

std::string secondsText(std::chrono::milliseconds delay)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(delay.count()) / 1000.0);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

// At most one line a minute for what a flood could otherwise repeat endlessly.
void logAtMostEveryMinute(std::chrono::steady_clock::time_point& last, const std::string& text)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::minutes(1))
        return;
    last = now;
    Log::line(text);
}

} // namespace

// The listeners and connections, on the server's thread. Connections are kept
// in order of arrival, so the first one found that may give way is the oldest.
class LocalServer::Network final : public QObject {
public:
    explicit Network(LocalServer& server)
        : server_(server)
        , v4_(new LoopbackListener(LoopbackListener::Family::v4, this)) // children: they move with this object
        , v6_(new LoopbackListener(LoopbackListener::Family::v6, this))
        , outer_(new LoopbackListener(LoopbackListener::Family::v4, this))
        , resumeTimer_(new QTimer(this))
    {
        v4_->onWaiting = [this] { acceptWaiting(*v4_, false); };
        v6_->onWaiting = [this] { acceptWaiting(*v6_, false); };
        outer_->onWaiting = [this] { acceptWaiting(*outer_, true); };
        resumeTimer_->setSingleShot(true);
        connect(resumeTimer_, &QTimer::timeout, this, [this] { resumeAccepting(); });
    }

    // Binds the loopback addresses on `port`. IPv6 may be missing from the
    // machine altogether; it is required only where it exists.
    bool listen(std::uint16_t port)
    {
        closeListeners();
        const int backlog = server_.options_.listenBacklog;
        if (v4_->listen(port, backlog) != LoopbackListener::Outcome::listening)
            return false;
        if (v6_->listen(port, backlog) == LoopbackListener::Outcome::taken) {
            v4_->close();
            return false;
        }
        return true;
    }

    void closeListeners()
    {
        v4_->close();
        v6_->close();
        resumeTimer_->stop();
        holdingBack_ = false;
        outer_->setWatching(true); // it stays open; held back, it must not stay so
    }

    bool listenOuter(const std::optional<ListenAddress>& address, std::string token)
    {
        outer_->close();
        outerToken_ = std::move(token);
        if (!address)
            return true;
        int error = 0;
        if (outer_->listenAt(*address, server_.options_.listenBacklog, error) != LoopbackListener::Outcome::listening) {
            Log::line("cannot listen for other machines' exports on " + address->text() + ": " + std::strerror(error));
            return false;
        }
        outer_->setWatching(!holdingBack_);
        Log::print("listening for other machines' exports on " + address->text() + " (each request needs the token)");
        return true;
    }

    void closeOuter() { outer_->close(); }

    int openConnections() const { return connections_; }
    std::int64_t bufferedBytes() const { return buffered_; }
    bool isListening() const { return v4_->isListening(); }

private:
    void acceptWaiting(LoopbackListener& listener, bool outer)
    {
        while (listener.isListening()) {
            if (connections_ >= server_.options_.maxConnections) {
                if (!listener.hasWaiting())
                    return;
                if (!makeRoom()) {
                    holdBack();
                    return;
                }
            }
            const auto accepted = listener.acceptOne();
            if (accepted.outOfResources) {
                logAtMostEveryMinute(lastResourceLog_, "cannot accept connections: out of file descriptors or memory");
                holdBack();
                resumeTimer_->start(100);
                return;
            }
            if (accepted.fd < 0)
                return;
            admit(accepted.fd, outer);
        }
    }

    // Closes the connection that can best give way to a newcomer: one already
    // answered, else the oldest still waiting for its request once it is past
    // its grace. False when none can; the newcomer is then let in when a
    // connection is answered or closes, or when the oldest's grace is over.
    bool makeRoom()
    {
        ServerConnection* waiting = nullptr;
        for (ServerConnection* connection : open_) {
            if (connection->isAnswered()) {
                connection->giveWay();
                return true;
            }
            if (!waiting && connection->isReceiving())
                waiting = connection;
        }
        if (!waiting)
            return false;
        const auto age = std::chrono::steady_clock::now() - waiting->arrivedAt();
        if (age >= server_.options_.evictionGrace) {
            waiting->giveWay();
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(server_.options_.evictionGrace - age);
        resumeTimer_->start(left);
        return false;
    }

    // Leaves further connections in the kernel's queue for now.
    void holdBack()
    {
        holdingBack_ = true;
        v4_->setWatching(false);
        v6_->setWatching(false);
        outer_->setWatching(false);
    }

    void resumeAccepting()
    {
        if (!holdingBack_)
            return;
        holdingBack_ = false;
        v4_->setWatching(true);
        v6_->setWatching(true);
        outer_->setWatching(true);
    }

    // `outer`: from the listener for other machines, where the peer is no
    // user of this machine and the token stands in for the owner's check.
    void admit(int fd, bool outer)
    {
        // Another user of this machine may reach the loopback port too; what
        // they post would be stored as ours. Refused before it takes a slot.
        const auto owner = outer ? std::nullopt : peerOwner_.uidOfPeer(fd);
        if (!outer && (!owner || *owner != ::geteuid())) {
            ::close(fd);
            logAtMostEveryMinute(lastRefusalLog_,
                                 owner ? "refused a connection from another user (uid " + std::to_string(*owner) + ")"
                                       : std::string("refused a connection whose owner could not be found"));
            return;
        }
        const auto& options = server_.options_;
        ++connections_;
        open_.push_back(nullptr);
        const auto slot = std::prev(open_.end());
        *slot = new ServerConnection(
            fd, {options.headTimeout, options.bodyTimeout, options.requestTimeout},
            {.route =
                 [this, outer](std::string body) {
                     if (!outer) // never asked for there: its screen refuses /event
                         server_.dispatch(std::move(body));
                 },
             .telemetry =
                 [this](std::string body, bool gzip) {
                     ServerConnection::Callbacks::TelemetryAnswer answer;
                     answer.then = server_.receiveTelemetry(std::move(body), gzip, answer.response.status,
                                                            answer.response.body);
                     return answer;
                 },
             .reserve = [this](std::int64_t bytes) { return reserve(bytes); },
             .answered = [this] { resumeAccepting(); },
             .closed =
                 [this, slot] {
                     open_.erase(slot);
                     --connections_;
                     resumeAccepting();
                 }},
            this, outer ? std::optional<std::string>(outerToken_) : std::nullopt);
    }

    bool reserve(std::int64_t bytes)
    {
        if (bytes > 0 && buffered_ + bytes > server_.options_.maxBufferedBytes)
            return false;
        buffered_ += bytes;
        return true;
    }

    LocalServer& server_;
    LoopbackListener* v4_;
    LoopbackListener* v6_;
    LoopbackListener* outer_; // the listener for other machines, when asked for
    std::string outerToken_;
    QTimer* resumeTimer_;
    PeerOwner peerOwner_;
    std::list<ServerConnection*> open_;
    bool holdingBack_ = false;
    std::chrono::steady_clock::time_point lastRefusalLog_{};
    std::chrono::steady_clock::time_point lastResourceLog_{};
    std::atomic<int> connections_{0};
    std::atomic<std::int64_t> buffered_{0}; // changed only on the network thread
};

LocalServer::LocalServer(PortRange range, std::uint16_t startPort, std::shared_ptr<HookHandler> router)
    : LocalServer(range, startPort, std::move(router), Options{})
{
}

LocalServer::LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router)
    : LocalServer(PortRange{startPort, portRangeCount}, startPort, std::move(router), Options{})
{
}

LocalServer::LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router,
                         Options options)
    : LocalServer(PortRange{startPort, portRangeCount}, startPort, std::move(router), std::move(options))
{
}

LocalServer::LocalServer(PortRange range, std::uint16_t startPort, std::shared_ptr<HookHandler> router, Options options)
    : range_(range)
    , startPort_(startPort >= range.first && startPort - range.first < range.count ? startPort : range.first)
    , router_(std::move(router))
    , options_(std::move(options))
    , currentCandidate_(startPort_)
    , mainContext_(std::make_unique<QObject>())
    , pool_(std::make_unique<QThreadPool>())
    , thread_(std::make_unique<QThread>())
{
    pool_->setMaxThreadCount(options_.handlerThreads);
    thread_->setObjectName("tallyglass.server");
    network_ = new Network(*this);
    network_->moveToThread(thread_.get());
    thread_->start();
}

// The connections go first, so that none of them hands an event over once the
// handlers have been waited for.
LocalServer::~LocalServer()
{
    stop();
    onNetworkThreadAndWait([this] { delete network_; });
    thread_->quit();
    thread_->wait();
    pool_->waitForDone();
    handoffReceived(&pendingHandlers_);
}

void LocalServer::setOnPortChange(std::function<void(std::uint16_t)> callback)
{
    onPortChange_ = std::move(callback);
}

void LocalServer::setOnListening(std::function<void(std::uint16_t)> callback)
{
    onListening_ = std::move(callback);
}

void LocalServer::start()
{
    std::uint64_t search;
    {
        std::lock_guard lock(stateLock_);
        stopped_ = false;
        triedThisPass_ = 0;
        backoffCycle_ = 0;
        search = ++search_;
    }
    queueAttempt(search);
}

void LocalServer::stop()
{
    {
        std::lock_guard lock(stateLock_);
        stopped_ = true;
    }
    const auto close = [this] {
        network_->closeListeners();
        network_->closeOuter();
    };
    if (QThread::currentThread() == thread_.get())
        close();
    else
        onNetworkThreadAndWait(close);
}

bool LocalServer::listenOuter(const std::optional<ListenAddress>& address, std::string token)
{
    bool listening = false;
    onNetworkThreadAndWait([&] { listening = network_->listenOuter(address, std::move(token)); });
    return listening;
}

std::uint16_t LocalServer::boundPort() const
{
    std::lock_guard lock(stateLock_);
    return boundPort_;
}

bool LocalServer::isListening() const
{
    bool listening = false;
    const auto ask = [this, &listening] { listening = network_->isListening(); };
    if (QThread::currentThread() == thread_.get())
        ask();
    else
        onNetworkThreadAndWait(ask);
    return listening;
}

int LocalServer::openConnections() const
{
    return network_->openConnections();
}

std::int64_t LocalServer::bufferedBytes() const
{
    return network_->bufferedBytes();
}

bool LocalServer::waitForHandlers(std::chrono::milliseconds timeout)
{
    const bool done = pool_->waitForDone(static_cast<int>(timeout.count()));
    // Each handler marked its end there; the caller goes on with what they did.
    handoffReceived(&pendingHandlers_);
    return done;
}

void LocalServer::onNetworkThreadAndWait(std::function<void()> work) const
{
    handOffAndWait([this](auto job) { QMetaObject::invokeMethod(network_, std::move(job), Qt::QueuedConnection); },
                   std::move(work));
}

// Retries go through here rather than start(): they must never undo a stop().
void LocalServer::queueAttempt(std::uint64_t search)
{
    QMetaObject::invokeMethod(network_, handedOff([this, search] { attemptListen(search); }), Qt::QueuedConnection);
}

void LocalServer::attemptListen(std::uint64_t search)
{
    std::uint16_t candidate;
    {
        std::lock_guard lock(stateLock_);
        if (stopped_ || search != search_)
            return;
        candidate = currentCandidate_;
    }
    if (network_->listen(candidate))
        handleReady(search);
    else
        tryNextPort(search);
}

void LocalServer::handleReady(std::uint64_t search)
{
    std::uint16_t port;
    {
        std::lock_guard lock(stateLock_);
        // stop() may have come from another thread since the attempt began.
        if (stopped_ || search != search_) {
            network_->closeListeners();
            return;
        }
        port = currentCandidate_;
        boundPort_ = port;
        backoffCycle_ = 0;
        triedThisPass_ = 0;
    }
    if (port != startPort_)
        ServerConstants::rememberPort(port);
    announce(port, port != startPort_);
    Log::print("server listening on :" + std::to_string(port));
}

void LocalServer::announce(std::uint16_t port, bool moved)
{
    QMetaObject::invokeMethod(
        mainContext_.get(),
        handedOff([this, port, moved] {
            if (onListening_)
                onListening_(port);
            if (moved && onPortChange_)
                onPortChange_(port);
        }),
        Qt::QueuedConnection);
}

void LocalServer::tryNextPort(std::uint64_t search)
{
    enum class Action { giveUp, tryNext, backOff } action;
    int cycle = 0;
    {
        std::lock_guard lock(stateLock_);
        if (stopped_ || search != search_)
            return;
        if (++triedThisPass_ < range_.count) {
            const int offset = (currentCandidate_ - range_.first + 1) % range_.count;
            currentCandidate_ = static_cast<std::uint16_t>(range_.first + offset);
            action = Action::tryNext;
        } else if (backoffCycle_ < 3) {
            cycle = ++backoffCycle_;
            triedThisPass_ = 0;
            currentCandidate_ = startPort_;
            action = Action::backOff;
        } else {
            action = Action::giveUp;
        }
    }
    switch (action) {
    case Action::tryNext:
        queueAttempt(search);
        break;
    case Action::backOff: {
        const auto delay = options_.backoffBase * (1 << (cycle - 1));
        Log::print("all ports busy \u2014 backoff " + secondsText(delay) + "s (cycle " + std::to_string(cycle) + ")");
        if (options_.scheduleRetry)
            options_.scheduleRetry(delay, [this, search] { queueAttempt(search); });
        else
            QTimer::singleShot(delay, network_, [this, search] { attemptListen(search); });
        break;
    }
    case Action::giveUp:
        Log::print("all ports busy after 3 cycles \u2014 giving up");
        break;
    }
}

} // namespace tallyglass
