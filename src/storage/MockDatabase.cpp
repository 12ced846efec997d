#include "storage/MockDatabase.h"

namespace tallyglass {

void MockDatabase::maybeThrow() const
{
    if (throwOnFetch)
        std::rethrow_exception(throwOnFetch);
}

std::optional<UsageLimits> MockDatabase::fetchUsageLimits()
{
    maybeThrow();
    return limits;
}

bool MockDatabase::hasAnyMessages()
{
    maybeThrow();
    return !messages.empty();
}

std::vector<MessageRow> MockDatabase::fetchMessagesInWindow(Instant from, Instant to)
{
    maybeThrow();
    ++windowFetches;
    std::vector<MessageRow> inWindow;
    for (const MessageRow& row : messages) {
        if (row.timestamp >= from && row.timestamp < to)
            inWindow.push_back(row);
    }
    return inWindow;
}

std::int64_t MockDatabase::fetchActiveSessionCount()
{
    maybeThrow();
    return activeSessionCount;
}

std::vector<DashboardMessage> MockDatabase::fetchAllMessages()
{
    maybeThrow();
    ++allMessageFetches;
    return dashboardMessages;
}

std::optional<std::int64_t> MockDatabase::changeToken()
{
    maybeThrow();
    return version;
}

std::vector<LimitReading> MockDatabase::fetchLimitReadings(Instant from, Instant to)
{
    maybeThrow();
    std::vector<LimitReading> out;
    for (const LimitReading& r : limitReadings)
        if (r.at >= from && r.at < to)
            out.push_back(r);
    return out;
}

} // namespace tallyglass
