// A local server with a do-nothing router, for load tools to hammer.
//
//   tallyglass_load_server <port>

#include "server/LocalServer.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdlib>

namespace {

class DiscardingHandler final : public tallyglass::HookHandler {
public:
    void handle(const std::string& body) override { bytes += body.size(); }
    std::atomic<std::size_t> bytes{0};
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    tallyglass::LocalServer server(static_cast<std::uint16_t>(std::atoi(argv[1])), 1, std::make_shared<DiscardingHandler>());
    server.start();
    return app.exec();
}
