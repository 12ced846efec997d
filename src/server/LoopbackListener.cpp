#include "server/LoopbackListener.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
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
    close();
    const bool v6 = family_ == Family::v6;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT ? Outcome::absent : Outcome::taken;
    // As every listener on Linux does: a port whose last connections linger in
    // TIME_WAIT can be listened on again at once.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (v6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        address->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) != 0 || ::listen(fd, backlog) != 0) {
        const int error = errno;
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
