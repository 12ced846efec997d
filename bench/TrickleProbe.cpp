// Whether the local server still answers while many connections hold on to it
// and send next to nothing: `tricklers` connections each send one byte of an
// endless request head a second (or, with "idle", nothing at all) and are
// opened again a second after the server closes one; meanwhile `probes`
// health checks, ten a second, each given `timeout` milliseconds.
//
//   tallyglass_trickle_probe <port> [tricklers] [probes] [trickle|idle] [timeout ms]

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int connectTo(std::uint16_t port, bool blocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One health check: the whole answer within the time, or a failure.
bool probe(std::uint16_t port, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    const int fd = connectTo(port, false);
    if (fd < 0)
        return false;
    const auto left = [&] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::max<long>(0, ms));
    };
    pollfd p{fd, POLLOUT, 0};
    const std::string request = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    bool ok = ::poll(&p, 1, left()) == 1
        && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string answer;
    while (ok) {
        p = {fd, POLLIN, 0};
        if (::poll(&p, 1, left()) != 1)
            break;
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer.rfind("HTTP/1.1 200 OK", 0) == 0 && answer.size() >= 2 && answer.substr(answer.size() - 2) == "ok";
}

struct Trickler {
    int fd = -1;
    Clock::time_point due;
    std::size_t sent = 0;
};

// Keeps every trickler open and sending until told to stop; counts the ones the server closed.
void trickle(std::uint16_t port, int count, bool idle, const std::atomic<bool>& done, std::atomic<int>& closed)
{
    static const std::string head = "POST /event HTTP/1.1\r\nHost: localhost\r\nX-Padding: ";
    std::vector<Trickler> all(static_cast<std::size_t>(count));
    const auto start = Clock::now();
    for (std::size_t i = 0; i < all.size(); ++i)
        all[i].due = start + std::chrono::milliseconds(static_cast<long>(i * 1000 / all.size()));
    while (!done) {
        const auto now = Clock::now();
        std::vector<pollfd> watched;
        for (auto& t : all) {
            if (t.fd < 0 && now >= t.due) {
                t.fd = connectTo(port, false);
                t.sent = 0;
                t.due = now + std::chrono::seconds(1);
            } else if (t.fd >= 0 && now >= t.due && !idle) {
                const char byte = t.sent < head.size() ? head[t.sent] : 'a';
                if (::send(t.fd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
                    ++t.sent;
                t.due = now + std::chrono::seconds(1);
            }
            if (t.fd >= 0)
                watched.push_back({t.fd, POLLIN, 0});
        }
        ::poll(watched.data(), watched.size(), 20);
        for (const auto& w : watched) {
            if (!(w.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[256];
            if (::recv(w.fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
                continue;
            for (auto& t : all) {
                if (t.fd == w.fd) {
                    ::close(t.fd);
                    t.fd = -1;
                    t.due = Clock::now() + std::chrono::seconds(1);
                    ++closed;
                }
            }
        }
    }
    for (auto& t : all)
        if (t.fd >= 0)
            ::close(t.fd);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <port> [tricklers] [probes] [trickle|idle] [timeout ms]\n", argv[0]);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const int tricklers = argc > 2 ? std::atoi(argv[2]) : 200;
    const int probes = argc > 3 ? std::atoi(argv[3]) : 120;
    const bool idle = argc > 4 && std::strcmp(argv[4], "idle") == 0;
    const std::chrono::milliseconds timeout(argc > 5 ? std::atoi(argv[5]) : 2000);

    std::atomic<bool> done{false};
    std::atomic<int> closed{0};
    std::thread holder(trickle, port, tricklers, idle, std::cref(done), std::ref(closed));
    std::this_thread::sleep_for(std::chrono::seconds(2)); // every trickler connected before the first probe
    int answered = 0;
    const auto start = Clock::now();
    for (int i = 0; i < probes; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(100 * i));
        answered += probe(port, timeout) ? 1 : 0;
    }
    done = true;
    holder.join();
    std::printf("%d %s connections: %d of %d health checks answered within %lld ms; the server closed %d of them\n",
                tricklers, idle ? "idle" : "trickling", answered, probes, static_cast<long long>(timeout.count()),
                closed.load());
    return answered == probes ? 0 : 1;
}
