#pragma once

#include "core/Instant.h"
#include "events/HookHandler.h"
#include "storage/LimitReading.h"
#include "storage/MessageWriter.h"

#include <functional>
#include <memory>

namespace tallyglass {

// Stores the rate-limit utilisation that Claude Code's status line carries:
// the five-hour and seven-day windows replace the single usage_limits row.
class StatusLineService final : public HookHandler {
public:
    using Clock = std::function<Instant()>;

    // Told of every reading once it is stored (on the handler's thread).
    using Observer = std::function<void(const LimitReading&)>;

    explicit StatusLineService(std::shared_ptr<MessageWriter> writer, Clock clock = {}, Observer observer = {});
    void handle(const std::string& body) override;

private:
    const std::shared_ptr<MessageWriter> writer_;
    const Clock clock_;
    const Observer observer_;
};

} // namespace tallyglass
