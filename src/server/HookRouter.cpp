#include "server/HookRouter.h"

#include "events/HookPayload.h"

namespace tallyglass {

HookRouter::HookRouter(std::shared_ptr<HookHandler> captureHandler, std::shared_ptr<HookHandler> statuslineHandler)
    : captureHandler_(std::move(captureHandler))
    , statuslineHandler_(std::move(statuslineHandler))
{
}

void HookRouter::handle(const std::string& body)
{
    // rate_limits is asked first: a payload carrying both keys is a status line.
    switch (HookPayload::route(body)) {
    case HookPayload::Route::statusLine: statuslineHandler_->handle(body); break;
    case HookPayload::Route::capture: captureHandler_->handle(body); break;
    case HookPayload::Route::none: break;
    }
}

} // namespace tallyglass
