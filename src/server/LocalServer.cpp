#include "server/LocalServer.h"

#include "core/Log.h"
#include "server/PeerOwner.h"
#include "server/RequestGate.h"
#include "server/ServerConnection.h"
#include "server/ServerConstants.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <charconv>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass {

namespace {

// Listens and hands accepted descriptors on without wrapping them in a
// QTcpSocket: Qt's sockets close themselves when the peer half-closes, and a
// peer that shuts down its sending side must still get its answer.
class Listener final : public QTcpServer {
public:
    explicit Listener(QObject* parent)
        : QTcpServer(parent)
    {
    }
    std::function<void(int)> onAccept;

protected:
    void incomingConnection(qintptr descriptor) override { onAccept(static_cast<int>(descriptor)); }
};

std::string secondsText(std::chrono::milliseconds delay)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(delay.count()) / 1000.0);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    return text;
}

} // namespace

class LocalServer::Network final : public QObject {
public:
    explicit Network(LocalServer& server)
        : server_(server)
        , v4_(new Listener(this)) // children, so that moving this object to its thread moves them too
        , v6_(new Listener(this))
    {
        for (Listener* listener : {v4_, v6_})
            listener->onAccept = [this](int fd) { accept(fd); };
    }

    // Binds the loopback addresses on `port`. IPv6 may be missing from the
    // machine altogether; it is required only where it exists.
    bool listen(std::uint16_t port)
    {
        closeListeners();
        if (!v4_->listen(QHostAddress::LocalHost, port))
            return false;
        if (!v6_->listen(QHostAddress::LocalHostIPv6, port)) {
            const auto error = v6_->serverError();
            if (error == QAbstractSocket::UnsupportedSocketOperationError
                || error == QAbstractSocket::SocketAddressNotAvailableError)
                return true;
            v4_->close();
            return false;
        }
        return true;
    }

    void closeListeners()
    {
        v4_->close();
        v6_->close();
    }

    int openConnections() const { return connections_; }
    std::int64_t bufferedBytes() const { return buffered_; }

private:
    void accept(int fd)
    {
        // Another user of this machine may reach the loopback port too; what
        // they post would be stored as ours. Refused before it takes a slot.
        const auto owner = peerOwner_.uidOfPeer(fd);
        if (!owner || *owner != ::geteuid()) {
            ::close(fd);
            const auto now = std::chrono::steady_clock::now();
            if (now - lastRefusalLogged_ >= std::chrono::minutes(1)) {
                lastRefusalLogged_ = now;
                Log::line(owner ? "refused a connection from another user (uid " + std::to_string(*owner) + ")"
                                : std::string("refused a connection whose owner could not be found"));
            }
            return;
        }
        if (connections_ >= server_.options_.maxConnections) {
            ::close(fd);
            return;
        }
        ++connections_;
        new ServerConnection(
            fd, server_.options_.requestTimeout, this, [this](std::string body) { server_.dispatch(std::move(body)); },
            [this](std::int64_t bytes) {
                if (bytes > 0 && buffered_ + bytes > server_.options_.maxBufferedBytes)
                    return false;
                buffered_ += bytes;
                return true;
            },
            [this] { --connections_; });
    }

    LocalServer& server_;
    Listener* v4_;
    Listener* v6_;
    PeerOwner peerOwner_;
    std::chrono::steady_clock::time_point lastRefusalLogged_{};
    std::atomic<int> connections_{0};
    std::atomic<std::int64_t> buffered_{0}; // changed only on the network thread
};

LocalServer::LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router)
    : LocalServer(startPort, portRangeCount, std::move(router), Options{})
{
}

LocalServer::LocalServer(std::uint16_t startPort, std::uint16_t portRangeCount, std::shared_ptr<HookHandler> router,
                         Options options)
    : startPort_(startPort)
    , portRangeCount_(portRangeCount)
    , router_(std::move(router))
    , options_(options)
    , currentCandidate_(startPort)
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

LocalServer::~LocalServer()
{
    stop();
    pool_->waitForDone();
    QMetaObject::invokeMethod(network_, [this] { delete network_; }, Qt::BlockingQueuedConnection);
    thread_->quit();
    thread_->wait();
}

void LocalServer::setOnPortChange(std::function<void(std::uint16_t)> callback)
{
    onPortChange_ = std::move(callback);
}

void LocalServer::start()
{
    {
        std::lock_guard lock(stateLock_);
        stopped_ = false;
    }
    QMetaObject::invokeMethod(network_, [this] { attemptListen(); }, Qt::QueuedConnection);
}

void LocalServer::stop()
{
    {
        std::lock_guard lock(stateLock_);
        stopped_ = true;
    }
    const auto close = [this] { network_->closeListeners(); };
    if (QThread::currentThread() == thread_.get())
        close();
    else
        QMetaObject::invokeMethod(network_, close, Qt::BlockingQueuedConnection);
}

std::uint16_t LocalServer::boundPort() const
{
    std::lock_guard lock(stateLock_);
    return boundPort_;
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
    return pool_->waitForDone(static_cast<int>(timeout.count()));
}

void LocalServer::attemptListen()
{
    std::uint16_t candidate;
    {
        std::lock_guard lock(stateLock_);
        if (stopped_)
            return;
        candidate = currentCandidate_;
    }
    if (network_->listen(candidate))
        handleReady();
    else
        handleFailed();
}

void LocalServer::handleReady()
{
    std::uint16_t port;
    {
        std::lock_guard lock(stateLock_);
        port = currentCandidate_;
        boundPort_ = port;
        backoffCycle_ = 0;
    }
    if (port != startPort_) {
        ServerConstants::rememberPort(port);
        QMetaObject::invokeMethod(
            mainContext_.get(),
            [this, port] {
                if (onPortChange_)
                    onPortChange_(port);
            },
            Qt::QueuedConnection);
    }
    Log::print("server listening on :" + std::to_string(port));
}

void LocalServer::handleFailed()
{
    {
        std::lock_guard lock(stateLock_);
        if (stopped_)
            return;
    }
    network_->closeListeners();
    tryNextPort();
}

void LocalServer::tryNextPort()
{
    enum class Action { giveUp, tryNext, backOff } action;
    int cycle = 0;
    {
        std::lock_guard lock(stateLock_);
        const int next = currentCandidate_ + 1;
        const int end = startPort_ + portRangeCount_;
        if (stopped_) {
            action = Action::giveUp;
        } else if (next < end) {
            currentCandidate_ = static_cast<std::uint16_t>(next);
            action = Action::tryNext;
        } else if (backoffCycle_ < 3) {
            cycle = ++backoffCycle_;
            currentCandidate_ = startPort_;
            action = Action::backOff;
        } else {
            action = Action::giveUp;
        }
    }
    switch (action) {
    case Action::tryNext:
        start();
        break;
    case Action::backOff: {
        const auto delay = options_.backoffBase * (1 << (cycle - 1));
        Log::print("all ports busy \u2014 backoff " + secondsText(delay) + "s (cycle " + std::to_string(cycle) + ")");
        QTimer::singleShot(delay, network_, [this] {
            bool stopped;
            {
                std::lock_guard lock(stateLock_);
                stopped = stopped_;
            }
            if (!stopped)
                start();
        });
        break;
    }
    case Action::giveUp: {
        bool stopped;
        {
            std::lock_guard lock(stateLock_);
            stopped = stopped_;
        }
        if (!stopped)
            Log::print("all ports busy after 3 cycles \u2014 giving up");
        break;
    }
    }
}

void LocalServer::dispatch(std::string body)
{
    const auto bytes = static_cast<std::int64_t>(body.size());
    const int handlersBefore = pendingHandlers_.fetch_add(1);
    const std::int64_t bytesBefore = pendingBodyBytes_.fetch_add(bytes);
    if (handlersBefore >= options_.maxPendingHandlers || bytesBefore + bytes > options_.maxPendingBodyBytes) {
        pendingHandlers_.fetch_sub(1);
        pendingBodyBytes_.fetch_sub(bytes);
        Log::line("too many events waiting to be handled; dropped one");
        return;
    }
    pool_->start([this, bytes, body = std::move(body)] {
        try {
            router_->handle(body);
        } catch (const std::exception& error) {
            Log::line(std::string("event handler failed: ") + error.what());
        } catch (...) {
            Log::line("event handler failed");
        }
        pendingBodyBytes_.fetch_sub(bytes);
        pendingHandlers_.fetch_sub(1);
    });
}

} // namespace tallyglass
