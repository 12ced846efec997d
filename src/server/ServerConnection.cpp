#include "server/ServerConnection.h"

#include "server/HTTPRequestParser.h"

#include <algorithm>
#include <utility>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass {

namespace {

constexpr std::size_t readChunk = 64 * 1024;
constexpr std::size_t readPerTurn = 1024 * 1024;
constexpr int lingerMs = 2000;

} // namespace

ServerConnection::ServerConnection(int fd, Deadlines deadlines, Callbacks callbacks, QObject* parent,
                                   std::optional<std::string> outerToken)
    : QObject(parent)
    , fd_(fd)
    , deadlines_(deadlines)
    , arrivedAt_(Clock::now())
    , callbacks_(std::move(callbacks))
    , outerToken_(std::move(outerToken))
    , readNotifier_(fd, QSocketNotifier::Read, this)
{
    connect(&readNotifier_, &QSocketNotifier::activated, this, [this] { onReadable(); });
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] { close(); });
    deadline_.start(std::min(deadlines_.head, deadlines_.whole));
}

ServerConnection::~ServerConnection()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void ServerConnection::onReadable()
{
    char chunk[readChunk];
    bool peerFinished = false;
    // A fast sender of a large body would otherwise be read for as long as
    // it sends, while every other connection waits: a bounded share per
    // turn, and the notifier calls again for the rest.
    std::size_t thisTurn = 0;
    while (thisTurn < readPerTurn) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            thisTurn += static_cast<std::size_t>(n);
            if (phase_ != Phase::reading)
                continue; // answered: what the peer still sends is dropped
            if (!holdAtLeast(buffer_.size() + static_cast<std::size_t>(n))) {
                respond(RequestGate::busy, {}); // every connection together may hold only so much
                return;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
            const std::size_t bodyStart = headerScreened_ ? bodyStart_ : RequestGate::maxHeaderBytes + 4;
            if (buffer_.size() > bodyStart + RequestGate::maxBodyBytes)
                break; // over a limit: answer now rather than read on
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        peerFinished = true; // end of stream, or an error: nothing more will come
        break;
    }
    if (phase_ == Phase::lingering) {
        if (peerFinished)
            close();
        return;
    }
    if (phase_ != Phase::reading)
        return;
    // The header block is screened before the body's limit is checked: on the
    // listener for other machines a request without the token learns nothing,
    // not even that its body is too large.
    if (!headerScreened_ && buffer_.find("\r\n\r\n") != std::string::npos) {
        headerScreened_ = true;
        if (!acceptHeaderBlock(peerFinished))
            return;
    }
    if (const auto over = RequestGate::checkLimits(buffer_)) {
        respond(*over, {});
        return;
    }
    if (HTTPRequestParser::isComplete(buffer_) || peerFinished) {
        RequestGate::Decision decision = decide();
        // The body leaves the budget as the answer goes: from then on it is the handlers' to count.
        if (decision.telemetry && callbacks_.telemetry) {
            auto answer = callbacks_.telemetry(std::move(decision.body), decision.gzip);
            respond(answer.response, std::move(answer.then));
        } else if (decision.route) {
            respond(decision.response, [this, body = std::move(decision.body)]() mutable { callbacks_.route(std::move(body)); });
        } else {
            respond(decision.telemetry ? RequestGate::Response{"404 Not Found", "not found"} : decision.response, {});
        }
        if (peerFinished && phase_ == Phase::lingering)
            close();
    }
}

// The header block alone decides most refusals: they are answered without
// waiting for a body. False when the request has been answered.
bool ServerConnection::acceptHeaderBlock(bool peerFinished)
{
    if (const auto refused = screen()) {
        respond(*refused, {});
        return false;
    }
    const auto sinceArrival = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - arrivedAt_);
    const auto bodyLeft = std::min(deadlines_.body, deadlines_.whole - sinceArrival);
    deadline_.start(std::max(std::chrono::milliseconds(0), bodyLeft));
    bodyStart_ = buffer_.find("\r\n\r\n") + 4;
    if (const auto declared = HTTPRequestParser::contentLength(std::string_view(buffer_).substr(0, bodyStart_))) {
        // The whole body is set aside now, so that one let in is never cut
        // off halfway for want of room, and a peer with no room is told
        // before it sends. One allocation, instead of one per doubling.
        const std::size_t whole = bodyStart_ + static_cast<std::size_t>(*declared);
        if (!holdAtLeast(whole)) {
            respond(RequestGate::busy, {});
            return false;
        }
        buffer_.reserve(whole);
    }
    // curl asks before sending a body over 1 MiB and otherwise waits a second for this.
    if (!HTTPRequestParser::isComplete(buffer_) && !peerFinished && RequestGate::expectsContinue(buffer_)) {
        static constexpr std::string_view goOn = "HTTP/1.1 100 Continue\r\n\r\n";
        ::send(fd_, goOn.data(), goOn.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    return true;
}

std::optional<RequestGate::Response> ServerConnection::screen() const
{
    if (outerToken_)
        return RequestGate::screen(buffer_, RequestGate::OuterAccess{*outerToken_});
    return RequestGate::screen(buffer_);
}

RequestGate::Decision ServerConnection::decide()
{
    std::string request = std::exchange(buffer_, std::string());
    if (outerToken_)
        return RequestGate::decideTaking(std::move(request), RequestGate::OuterAccess{*outerToken_});
    return RequestGate::decideTaking(std::move(request));
}

// Takes from the shared budget what this connection lacks of `bytes`.
bool ServerConnection::holdAtLeast(std::size_t bytes)
{
    if (bytes <= held_)
        return true;
    if (!callbacks_.reserve(static_cast<std::int64_t>(bytes - held_)))
        return false;
    held_ = bytes;
    return true;
}

void ServerConnection::releaseBuffer()
{
    if (held_ > 0)
        callbacks_.reserve(-static_cast<std::int64_t>(held_));
    held_ = 0;
    buffer_.clear();
    buffer_.shrink_to_fit();
}

void ServerConnection::respond(const RequestGate::Response& response, std::function<void()> afterAnswer)
{
    releaseBuffer();
    phase_ = Phase::writing;
    pending_ = RequestGate::render(response);
    afterAnswer_ = std::move(afterAnswer);
    trySend();
}

void ServerConnection::trySend()
{
    while (!pending_.empty()) {
        const ssize_t n = ::send(fd_, pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            pending_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!writeNotifier_) {
                writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
                connect(writeNotifier_, &QSocketNotifier::activated, this, [this] { trySend(); });
            }
            writeNotifier_->setEnabled(true);
            return;
        }
        pending_.clear(); // the peer is gone; errors while answering are ignored
        break;
    }
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
    // The answer is out: only now does the handler start.
    if (afterAnswer_)
        std::exchange(afterAnswer_, {})();
    ::shutdown(fd_, SHUT_WR);
    phase_ = Phase::lingering;
    deadline_.start(lingerMs);
    callbacks_.answered();
}

void ServerConnection::giveWay()
{
    if (phase_ == Phase::lingering)
        drain();
    close();
}

// Reads and drops whatever the peer has sent so far.
void ServerConnection::drain()
{
    char chunk[readChunk];
    while (true) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
    }
}

void ServerConnection::close()
{
    if (phase_ == Phase::closed)
        return;
    phase_ = Phase::closed;
    readNotifier_.setEnabled(false);
    if (writeNotifier_)
        writeNotifier_->setEnabled(false);
    deadline_.stop();
    releaseBuffer();
    ::close(fd_);
    fd_ = -1;
    callbacks_.closed();
    deleteLater();
}

} // namespace tallyglass
