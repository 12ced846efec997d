#include "support/HttpClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyglass::test {

namespace {

// The loopback address of either family on a port.
struct Loopback {
    sockaddr_storage storage{};
    socklen_t length = 0;

    Loopback(std::uint16_t port, bool ipv6)
    {
        if (ipv6) {
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
    }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

} // namespace

int listenOnLoopback(std::uint16_t port, bool ipv6)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ipv6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    const Loopback address(port, ipv6);
    if (::bind(fd, address.get(), address.length) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

HttpClient::HttpClient(std::uint16_t port, bool ipv6)
{
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const Loopback address(port, ipv6);
    if (::connect(fd_, address.get(), address.length) != 0) {
        ::close(fd_);
        throw std::runtime_error("cannot connect to port " + std::to_string(port));
    }
}

HttpClient::~HttpClient()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void HttpClient::send(const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the server may refuse and close early; what it answered is still readable
        done += static_cast<std::size_t>(n);
    }
}

void HttpClient::finishSending()
{
    ::shutdown(fd_, SHUT_WR);
}

std::string HttpClient::readAll(std::chrono::milliseconds timeout)
{
    return readSome(std::string::npos, timeout);
}

std::string HttpClient::readSome(std::size_t count, std::chrono::milliseconds timeout)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[65536];
        const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

bool HttpClient::closedByServer(std::chrono::milliseconds timeout)
{
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    char buffer[1024];
    while (true) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return true;
        if (n < 0)
            return false;
    }
}

std::string HttpClient::exchange(std::uint16_t port, const std::string& request)
{
    HttpClient client(port);
    client.send(request);
    return client.readAll();
}

std::uint16_t findFreePorts(int count)
{
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto first = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(20000, 40000)(random));
        bool free = true;
        for (int i = 0; i < count && free; ++i) {
            for (const bool ipv6 : {false, true}) {
                const int fd = listenOnLoopback(static_cast<std::uint16_t>(first + i), ipv6);
                if (fd < 0)
                    free = false;
                else
                    ::close(fd);
            }
        }
        if (free)
            return first;
    }
    throw std::runtime_error("no free port block");
}

PortHolder::PortHolder(std::uint16_t port, Family family)
{
    for (const bool ipv6 : {false, true}) {
        if ((ipv6 && family == Family::v4) || (!ipv6 && family == Family::v6))
            continue;
        const int fd = listenOnLoopback(port, ipv6);
        if (fd < 0)
            throw std::runtime_error("cannot hold port " + std::to_string(port));
        fds_.push_back(fd);
    }
}

PortHolder::~PortHolder()
{
    for (const int fd : fds_)
        ::close(fd);
}

std::string postEvent(const std::string& body, const std::string& host)
{
    return "POST /event HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;
}

} // namespace tallyglass::test
