#pragma once

#include "server/RequestGate.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tallyglass {

// One client connection of the local server, on its network thread: gathers
// the request (refusing what its header block alone refuses, and telling a
// peer that expects it to continue), answers once, hands a routed body on only
// after the answer is out, then shuts its side and drains the peer's for a
// moment before closing, so that the answer is not lost to a reset.
//
// A peer that is slow to send is closed unanswered: its header block must be
// in within one deadline from its arrival, its body within another from the
// header block, and the whole request within a third. Each is a fixed time,
// not one renewed by every byte, so a byte a second holds a slot no longer
// than silence does.
class ServerConnection final : public QObject {
public:
    using Clock = std::chrono::steady_clock;

    struct Deadlines {
        std::chrono::milliseconds head;  // from arrival until the header block is in
        std::chrono::milliseconds body;  // from the header block until the body is in
        std::chrono::milliseconds whole; // from arrival until the request is in
    };
    struct Callbacks {
        std::function<void(std::string)> route;
        // Answers an OTLP logs export (its body, whether gzip) and says what
        // to do once that answer is out.
        struct TelemetryAnswer {
            RequestGate::Response response;
            std::function<void()> then;
        };
        std::function<TelemetryAnswer(std::string body, bool gzip)> telemetry;
        // Takes (or, with a negative amount, gives back) bytes from the budget
        // all connections share; false means the budget is spent, and the
        // request is answered 503 with Retry-After. A declared body is taken
        // whole once its header block is in, so a request let in is not cut
        // off halfway; what a peer sends without a length is taken as it comes.
        std::function<bool(std::int64_t)> reserve;
        std::function<void()> answered; // the answer is out; called once
        std::function<void()> closed;   // called once, not when destroyed with its parent
    };

    // `outerToken`: a connection to the listener for other machines, held to
    // its rules (RequestGate::OuterAccess) with this token; nothing for one
    // to the loopback.
    ServerConnection(int fd, Deadlines deadlines, Callbacks callbacks, QObject* parent,
                     std::optional<std::string> outerToken = std::nullopt);
    ~ServerConnection() override;

    // Still waiting for its request: nothing has been answered yet.
    bool isReceiving() const { return phase_ == Phase::reading; }
    // Answered, and waiting only for the peer to hang up.
    bool isAnswered() const { return phase_ == Phase::lingering; }
    Clock::time_point arrivedAt() const { return arrivedAt_; }
    // Closes the connection now to make room for another, reading first what
    // an answered peer still sent, so that it is not answered with a reset.
    void giveWay();

private:
    enum class Phase { reading, writing, lingering, closed };

    void onReadable();
    bool acceptHeaderBlock(bool peerFinished);
    std::optional<RequestGate::Response> screen() const;
    RequestGate::Decision decide();
    bool holdAtLeast(std::size_t bytes);
    void releaseBuffer();
    void respond(const RequestGate::Response& response, std::function<void()> afterAnswer);
    void trySend();
    void close();

    void drain();

    int fd_;
    const Deadlines deadlines_;
    const Clock::time_point arrivedAt_;
    Callbacks callbacks_;
    const std::optional<std::string> outerToken_;
    QSocketNotifier readNotifier_;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer deadline_;
    Phase phase_ = Phase::reading;
    bool headerScreened_ = false;
    std::string buffer_;
    std::size_t bodyStart_ = 0; // where the body begins, once the header block is in
    std::size_t held_ = 0;      // bytes this connection holds of the shared budget
    std::string pending_;
    std::function<void()> afterAnswer_;
};

} // namespace tallyglass
