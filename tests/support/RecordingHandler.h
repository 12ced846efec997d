#pragma once

#include "events/HookHandler.h"

#include <mutex>
#include <string>
#include <vector>

namespace tallyglass::test {

// A hook handler that keeps every body it is given; safe from several threads.
class RecordingHandler final : public HookHandler {
public:
    void handle(const std::string& body) override
    {
        std::lock_guard lock(mutex_);
        bodies_.push_back(body);
    }
    std::vector<std::string> received() const
    {
        std::lock_guard lock(mutex_);
        return bodies_;
    }
    std::size_t count() const
    {
        std::lock_guard lock(mutex_);
        return bodies_.size();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> bodies_;
};

} // namespace tallyglass::test
