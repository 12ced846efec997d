// A local server with a do-nothing router, for load tools to hammer. On
// SIGINT or SIGTERM it prints how many events reached the router, so that a
// tool can tell what was stored from what was answered.
//
//   tallyglass_load_server <port>

#include "server/LocalServer.h"

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

class CountingHandler final : public tallyglass::HookHandler {
public:
    void handle(const std::string& body) override
    {
        bytes += body.size();
        ++events;
    }
    std::atomic<std::size_t> bytes{0};
    std::atomic<std::size_t> events{0};
};

volatile std::sig_atomic_t stopRequested = 0;

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    std::signal(SIGTERM, [](int) { stopRequested = 1; });
    auto handler = std::make_shared<CountingHandler>();
    tallyglass::LocalServer server(static_cast<std::uint16_t>(std::atoi(argv[1])), 1, handler);
    server.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (stopRequested)
            app.quit();
    });
    poll.start(50);
    app.exec();
    server.stop();
    server.waitForHandlers(std::chrono::seconds(10));
    std::printf("events handled: %zu (%zu bytes)\n", handler->events.load(), handler->bytes.load());
    return 0;
}
