// Posts one body to the local server many times, from several connections at
// once and at a chosen rate, for the memory and load probes. A post fails
// unless it is answered with the expected status (200 unless told).
//
//   tallyglass_post_events [--expect=<status>] <port> <body file> <count> <concurrency> [events per second]

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

bool post(std::uint16_t port, const std::string& request, const std::string& expected)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    char answer[256];
    std::string reply;
    ssize_t n;
    while ((n = ::recv(fd, answer, sizeof answer, 0)) > 0)
        reply.append(answer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply.rfind(expected, 0) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string expected = "HTTP/1.1 200 ";
    if (argc > 1 && std::string(argv[1]).rfind("--expect=", 0) == 0) {
        expected = "HTTP/1.1 " + std::string(argv[1]).substr(9) + " ";
        --argc;
        ++argv;
    }
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s [--expect=<status>] <port> <body file> <count> <concurrency> [events per second]\n",
                     argv[0]);
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    std::ifstream in(argv[2], std::ios::binary);
    const std::string body{std::istreambuf_iterator<char>(in), {}};
    const int count = std::atoi(argv[3]);
    const int concurrency = std::max(1, std::atoi(argv[4]));
    const double rate = argc > 5 ? std::atof(argv[5]) : 0;
    const std::string request = "POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: "
        + std::to_string(body.size()) + "\r\n\r\n" + body;

    std::atomic<int> next{0};
    std::atomic<int> failed{0};
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < concurrency; ++w) {
        workers.emplace_back([&] {
            for (int i = next++; i < count; i = next++) {
                if (rate > 0)
                    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<std::int64_t>(i * 1e6 / rate)));
                if (!post(port, request, expected))
                    ++failed;
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d posts of %zu bytes in %.2f s, %d not answered \"%s\"\n", count, body.size(), seconds, failed.load(),
                expected.substr(9, 3).c_str());
    return failed == 0 ? 0 : 1;
}
