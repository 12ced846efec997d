#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tallyglass::test {

// A deliberately plain TCP client for talking to the local server the way a
// peer might: whole requests, requests in pieces, half-closed sends.
class HttpClient {
public:
    // Connects to 127.0.0.1 (or ::1) on the port; throws when it cannot.
    explicit HttpClient(std::uint16_t port, bool ipv6 = false);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    void send(const std::string& bytes);
    void finishSending(); // shutdown(SHUT_WR)
    // Everything the server sends until it closes, or until the timeout.
    std::string readAll(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the server closed the connection (reads end) within the timeout.
    bool closedByServer(std::chrono::milliseconds timeout);
    // Exactly `count` bytes, or fewer when the server closes or the time is up.
    std::string readSome(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Sends the bytes whole and returns the whole answer.
    static std::string exchange(std::uint16_t port, const std::string& request);

private:
    int fd_ = -1;
};

// A socket listening on the loopback address of one family, or -1 where the port is taken.
int listenOnLoopback(std::uint16_t port, bool ipv6 = false);

// `count` consecutive ports, free on 127.0.0.1 and ::1, outside 45832-45850.
std::uint16_t findFreePorts(int count);

// Holds a port by listening on it (IPv4, IPv6 or both).
class PortHolder {
public:
    enum class Family { v4, v6, both };
    PortHolder(std::uint16_t port, Family family = Family::both);
    ~PortHolder();
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    std::vector<int> fds_;
};

std::string postEvent(const std::string& body, const std::string& host = "localhost:45832");

} // namespace tallyglass::test
