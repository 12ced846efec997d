#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tallyglass {

struct ListenAddress;

// A listening TCP socket on one loopback address (or, for the listener for
// other machines, on the address the user named), on the thread it lives on.
// It accepts only when asked, one connection at a time, so that the server
// decides whether a waiting connection comes in now or waits in the kernel's
// queue; and it sets that queue's length itself (Qt's listeners keep it at 50,
// and a burst of hook posts beyond that loses connections).
class LoopbackListener final : public QObject {
public:
    enum class Family { v4, v6 };
    enum class Outcome {
        listening,
        taken,  // the port cannot be had on this address
        absent, // the machine has no such address (IPv6 switched off, say)
    };
    struct Accepted {
        int fd = -1;                 // the connection, or -1 when none is waiting
        bool outOfResources = false; // none could be taken: descriptors or memory ran out
    };

    LoopbackListener(Family family, QObject* parent);
    ~LoopbackListener() override;

    Outcome listen(std::uint16_t port, int backlog);
    // On the address given, whatever the family this was made for. "[::]"
    // takes IPv4 connections too, as a server told to listen everywhere is
    // expected to. `error` is the system's reason when it fails.
    Outcome listenAt(const ListenAddress& address, int backlog, int& error);
    void close();
    bool isListening() const { return fd_ >= 0; }

    // Whether onWaiting is called while connections wait to be accepted.
    void setWatching(bool on);
    // Whether a connection waits to be accepted, without taking it.
    bool hasWaiting() const;
    Accepted acceptOne();

    std::function<void()> onWaiting;

private:
    Outcome bindAndListen(int domain, const void* address, unsigned length, bool v6Only, int backlog, int& error);

    const Family family_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace tallyglass
