#include "server/HookRouter.h"

#include "core/JsonPayload.h"

namespace tallyglass {

HookRouter::HookRouter(std::shared_ptr<HookHandler> captureHandler, std::shared_ptr<HookHandler> statuslineHandler)
    : captureHandler_(std::move(captureHandler))
    , statuslineHandler_(std::move(statuslineHandler))
{
}

void HookRouter::handle(const std::string& body)
{
    enum class Target { none, capture, statusLine } target = Target::none;
    {
        simdjson::dom::object payload;
        if (!JsonPayload::parseObject(body, payload))
            return;
        // rate_limits is asked first: a payload carrying both keys is a status line.
        if (payload["rate_limits"].is_object())
            target = Target::statusLine;
        else if (payload["hook_event_name"].is_string())
            target = Target::capture;
    }
    // The parsed object belongs to this thread's parser, which the handler reuses.
    if (target == Target::statusLine)
        statuslineHandler_->handle(body);
    else if (target == Target::capture)
        captureHandler_->handle(body);
}

} // namespace tallyglass
