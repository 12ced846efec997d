#pragma once

#include "storage/UsageDatabase.h"

#include <atomic>
#include <exception>

namespace tallyglass {

// An in-memory UsageDatabase for previews, the gallery and tests.
class MockDatabase final : public UsageDatabase {
public:
    std::optional<UsageLimits> limits;
    std::vector<MessageRow> messages;
    std::vector<DashboardMessage> dashboardMessages;
    std::exception_ptr throwOnFetch; // when set, every call fails with it
    std::int64_t activeSessionCount = 0;
    std::optional<std::int64_t> version;     // the change token; none: the mock cannot tell
    std::atomic<int> allMessageFetches{0};   // how often the whole history was read
    std::atomic<int> windowFetches{0};       // how often a window of messages was read
    std::vector<LimitReading> limitReadings;

    std::optional<UsageLimits> fetchUsageLimits() override;
    bool hasAnyMessages() override;
    std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) override;
    std::int64_t fetchActiveSessionCount() override;
    std::vector<DashboardMessage> fetchAllMessages() override;
    std::optional<std::int64_t> changeToken() override;
    std::vector<LimitReading> fetchLimitReadings(Instant from, Instant to) override;

private:
    void maybeThrow() const;
};

} // namespace tallyglass
