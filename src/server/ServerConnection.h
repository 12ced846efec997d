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
class ServerConnection final : public QObject {
public:
    // `reserve` takes (or, with a negative amount, gives back) bytes from the
    // budget all connections share; false means the budget is spent.
    ServerConnection(int fd, std::chrono::milliseconds requestTimeout, QObject* parent,
                     std::function<void(std::string)> route, std::function<bool(std::int64_t)> reserve,
                     std::function<void()> closed);
    ~ServerConnection() override;

private:
    enum class Phase { reading, writing, lingering, closed };

    void onReadable();
    void releaseBuffer();
    void respond(const RequestGate::Response& response, std::optional<std::string> routeBody);
    void trySend();
    void close();

    int fd_;
    std::function<void(std::string)> route_;
    std::function<bool(std::int64_t)> reserve_;
    std::function<void()> closed_;
    QSocketNotifier readNotifier_;
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer deadline_;
    Phase phase_ = Phase::reading;
    bool headerScreened_ = false;
    std::string buffer_;
    std::string pending_;
    std::optional<std::string> routeBody_;
};

} // namespace tallyglass
