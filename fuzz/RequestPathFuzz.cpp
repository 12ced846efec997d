// Drives the whole request path in-process: limits, parsing, the origin and
// host checks, the answer, and the router with recording handlers.

#include "server/HookRouter.h"
#include "server/RequestGate.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

class CountingHandler final : public tallyglass::HookHandler {
public:
    void handle(const std::string&) override { ++calls; }
    int calls = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tallyglass;
    static auto capture = std::make_shared<CountingHandler>();
    static auto statusLine = std::make_shared<CountingHandler>();
    static HookRouter router(capture, statusLine);

    const std::string_view buffer(reinterpret_cast<const char*>(data), size);
    const RequestGate::Decision decision = RequestGate::decide(buffer);
    const std::string& status = decision.response.status;
    const bool known = status == "200 OK" || status == "400 Bad Request" || status == "403 Forbidden"
        || status == "404 Not Found" || status == "413 Payload Too Large" || status == "415 Unsupported Media Type"
        || status == "431 Request Header Fields Too Large";
    if (!known || (decision.route && (status != "200 OK" || !decision.response.body.empty())))
        std::abort();
    const std::string rendered = RequestGate::render(decision.response);
    if (rendered.compare(0, 9, "HTTP/1.1 ") != 0 || rendered.size() < decision.response.body.size())
        std::abort();

    const int before = capture->calls + statusLine->calls;
    if (decision.route)
        router.handle(decision.body);
    if (capture->calls + statusLine->calls - before > 1)
        std::abort();
    return 0;
}
