#pragma once

#include "events/HookHandler.h"

#include <memory>

namespace tallyglass {

// Hands each payload to the handler its content selects: an object whose
// rate_limits is an object goes to the status-line handler; otherwise one
// whose hook_event_name is a string goes to the capture handler; anything else
// is dropped without a word. Handlers get the body exactly as it arrived.
class HookRouter final : public HookHandler {
public:
    HookRouter(std::shared_ptr<HookHandler> captureHandler, std::shared_ptr<HookHandler> statuslineHandler);
    void handle(const std::string& body) override;

private:
    const std::shared_ptr<HookHandler> captureHandler_;
    const std::shared_ptr<HookHandler> statuslineHandler_;
};

} // namespace tallyglass
