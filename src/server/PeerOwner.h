#pragma once

#include <optional>
#include <sys/types.h>

namespace tallyglass {

// Which user owns the other end of a loopback TCP connection. A TCP socket
// carries no peer credentials, so the kernel's socket table is asked, through
// a sock_diag netlink socket, for the exact socket at the other end: a few
// microseconds, where reading /proc/net/tcp costs milliseconds and grows with
// the number of sockets on the machine.
class PeerOwner {
public:
    PeerOwner();
    ~PeerOwner();
    PeerOwner(const PeerOwner&) = delete;
    PeerOwner& operator=(const PeerOwner&) = delete;

    // The uid owning the peer of the connected socket `fd`, or nothing when
    // the kernel cannot say (then the connection should be refused).
    std::optional<uid_t> uidOfPeer(int fd);

private:
    int netlink_ = -1;
    unsigned sequence_ = 0;
};

} // namespace tallyglass
