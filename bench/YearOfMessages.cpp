#include "YearOfMessages.h"

#include "TranscriptGenerator.h"

#include <random>

namespace tallyglass::bench {

const std::vector<DashboardMessage>& yearOfMessages()
{
    static const std::vector<DashboardMessage> messages = [] {
        TranscriptGenerator ids(99);
        std::mt19937_64 random(3);
        // Shared as the read client shares them: one text per distinct identifier.
        const SharedText models[] = { "claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001",
            "claude-sonnet-4-6", "claude-opus-4-1-20250805", "" };
        std::vector<DashboardMessage> out;
        out.reserve(1'000'000);
        std::int64_t millis = 1'730'000'000'000;
        SharedText session = ids.uuid();
        while (out.size() < 1'000'000) {
            if (random() % 330 == 0)
                session = ids.uuid();
            millis += static_cast<std::int64_t>(random() % 63'000);
            out.push_back({ instantFromUnixMillis(millis), session, models[random() % 6],
                static_cast<std::int64_t>(random() % 50), static_cast<std::int64_t>(random() % 4000),
                static_cast<std::int64_t>(random() % 20000), static_cast<std::int64_t>(random() % 150000),
                random() % 5 == 0, static_cast<double>(random() % 1000) / 1000.0 });
        }
        return out;
    }();
    return messages;
}

const std::vector<LimitReading>& yearOfLimitReadings()
{
    static const std::vector<LimitReading> readings = [] {
        std::mt19937_64 random(5);
        std::vector<LimitReading> out;
        out.reserve(1'000'000);
        const Instant first = instantFromUnixMillis(1'730'000'000'000);
        Instant at = first;
        Instant fiveReset = first + std::chrono::hours(5);
        Instant sevenReset = first + std::chrono::hours(24 * 7);
        double five = 0;
        double seven = 0;
        while (out.size() < 1'000'000) {
            at += std::chrono::milliseconds(static_cast<std::int64_t>(random() % 63'000));
            if (at >= fiveReset) {
                fiveReset = at + std::chrono::hours(5);
                five = 0;
            }
            if (at >= sevenReset) {
                sevenReset = at + std::chrono::hours(24 * 7);
                seven = 0;
            }
            five = std::min(100.0, five + static_cast<double>(random() % 100) / 1000.0);
            seven = std::min(100.0, seven + static_cast<double>(random() % 100) / 10'000.0);
            out.push_back({ at, five, fiveReset, seven, sevenReset });
        }
        return out;
    }();
    return readings;
}

} // namespace tallyglass::bench
