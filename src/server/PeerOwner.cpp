#include "server/PeerOwner.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tallyglass {

namespace {

struct Request {
    nlmsghdr header;
    inet_diag_req_v2 query;
};

} // namespace

PeerOwner::PeerOwner()
{
    netlink_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (netlink_ >= 0) {
        // The kernel answers at once; a bound keeps a surprise from stalling the server's thread.
        const timeval wait{0, 200'000};
        ::setsockopt(netlink_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
}

PeerOwner::~PeerOwner()
{
    if (netlink_ >= 0)
        ::close(netlink_);
}

std::optional<uid_t> PeerOwner::uidOfPeer(int fd)
{
    if (netlink_ < 0)
        return std::nullopt;
    sockaddr_storage local {};
    sockaddr_storage remote {};
    socklen_t localSize = sizeof local;
    socklen_t remoteSize = sizeof remote;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0
        || ::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0 || local.ss_family != remote.ss_family)
        return std::nullopt;

    Request request {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST; // an exact lookup, not a dump of the table
    request.header.nlmsg_seq = ++sequence_;
    request.query.sdiag_family = static_cast<__u8>(local.ss_family);
    request.query.sdiag_protocol = IPPROTO_TCP;
    request.query.idiag_states = ~0u;
    request.query.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.query.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    // The socket sought is the peer's: its source is our remote end.
    if (local.ss_family == AF_INET) {
        const auto& ours = reinterpret_cast<const sockaddr_in&>(local);
        const auto& theirs = reinterpret_cast<const sockaddr_in&>(remote);
        request.query.id.idiag_sport = theirs.sin_port;
        request.query.id.idiag_dport = ours.sin_port;
        std::memcpy(request.query.id.idiag_src, &theirs.sin_addr, sizeof theirs.sin_addr);
        std::memcpy(request.query.id.idiag_dst, &ours.sin_addr, sizeof ours.sin_addr);
    } else if (local.ss_family == AF_INET6) {
        const auto& ours = reinterpret_cast<const sockaddr_in6&>(local);
        const auto& theirs = reinterpret_cast<const sockaddr_in6&>(remote);
        request.query.id.idiag_sport = theirs.sin6_port;
        request.query.id.idiag_dport = ours.sin6_port;
        std::memcpy(request.query.id.idiag_src, &theirs.sin6_addr, sizeof theirs.sin6_addr);
        std::memcpy(request.query.id.idiag_dst, &ours.sin6_addr, sizeof ours.sin6_addr);
    } else {
        return std::nullopt;
    }

    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(netlink_, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return std::nullopt;
    alignas(nlmsghdr) char reply[8192];
    while (true) {
        const ssize_t n = ::recv(netlink_, reply, sizeof reply, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        int left = static_cast<int>(n);
        for (auto* message = reinterpret_cast<nlmsghdr*>(reply); NLMSG_OK(message, left); message = NLMSG_NEXT(message, left)) {
            if (message->nlmsg_seq != sequence_)
                continue; // the answer to an earlier question that timed out
            if (message->nlmsg_type == NLMSG_ERROR || message->nlmsg_type == NLMSG_DONE)
                return std::nullopt;
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY || message->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                return std::nullopt;
            const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
            // A socket its process has let go (TIME_WAIT, orphaned) has no inode and
            // reports uid 0: its owner is unknown, not root.
            if (found->idiag_inode == 0)
                return std::nullopt;
            return static_cast<uid_t>(found->idiag_uid);
        }
    }
}

} // namespace tallyglass
