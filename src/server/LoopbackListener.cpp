#include "server/LoopbackListener.h"

#include "server/ListenAddress.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass {

LoopbackListener::LoopbackListener(Family family, QObject* parent)
    : QObject(parent)
    , family_(family)
{
}

LoopbackListener::~LoopbackListener()
{
    close();
}

LoopbackListener::Outcome LoopbackListener::listen(std::uint16_t port, int backlog)
{
    int error = 0;
    if (family_ == Family::v6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        return bindAndListen(AF_INET6, &address, sizeof address, true, backlog, error);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return bindAndListen(AF_INET, &address, sizeof address, false, backlog, error);
}

LoopbackListener::Outcome LoopbackListener::listenAt(const ListenAddress& where, int backlog, int& error)
{
    if (where.family == ListenAddress::Family::v6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(where.port);
        std::memcpy(&address.sin6_addr, where.bytes.data(), 16);
        return bindAndListen(AF_INET6, &address, sizeof address, !where.isAnyAddress(), backlog, error);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(where.port);
    std::memcpy(&address.sin_addr, where.bytes.data(), 4);
    return bindAndListen(AF_INET, &address, sizeof address, false, backlog, error);
}

LoopbackListener::Outcome LoopbackListener::bindAndListen(int domain, const void* address, unsigned length, bool v6Only,
                                                          int backlog, int& error)
{
    close();
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return error == EAFNOSUPPORT || error == EPROTONOSUPPORT ? Outcome::absent : Outcome::taken;
    }
    // As every listener on Linux does: a port whose last connections linger in
    // TIME_WAIT can be listened on again at once.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (domain == AF_INET6) {
        const int only = v6Only ? 1 : 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    if (::bind(fd, static_cast<const sockaddr*>(address), length) != 0 || ::listen(fd, backlog) != 0) {
        error = errno;
        ::close(fd);
        return error == EADDRNOTAVAIL || error == EAFNOSUPPORT ? Outcome::absent : Outcome::taken;
    }
    fd_ = fd;
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        if (onWaiting)
            onWaiting();
    });
    return Outcome::listening;
}

void LoopbackListener::close()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void LoopbackListener::setWatching(bool on)
{
    if (notifier_)
        notifier_->setEnabled(on);
}

bool LoopbackListener::hasWaiting() const
{
    if (fd_ < 0)
        return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

LoopbackListener::Accepted LoopbackListener::acceptOne()
{
    while (fd_ >= 0) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            return {fd, false};
        switch (errno) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {-1, true};
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EBADF:
        case EINVAL:
        case ENOTSOCK:
        case EFAULT:
            return {};
        default:
            // The peer gave up while it waited (ECONNABORTED), a signal came, or
            // the network changed: that one connection is gone, the next may be there.
            continue;
        }
    }
    return {};
}

} // namespace tallyglass
