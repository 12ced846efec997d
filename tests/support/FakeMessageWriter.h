#pragma once

#include "storage/MessageWriter.h"
#include "storage/WriteError.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>

namespace tallyglass::test {

// Records every write; can be told to fail the next ones.
class FakeMessageWriter final : public MessageWriter {
public:
    struct RateLimits {
        RateLimitWindow five;
        RateLimitWindow seven;
        Instant at;
        bool operator==(const RateLimits&) const = default;
    };

    void insertMessages(const std::vector<MessageInsert>& messages) override
    {
        std::lock_guard lock(mutex);
        failIfAsked();
        insertCalls.push_back(messages);
        std::string ids;
        for (const MessageInsert& m : messages)
            ids += (ids.empty() ? "" : ",") + m.messageId;
        order.push_back("insert " + ids);
    }
    void insertBackfillMessages(const std::vector<MessageInsert>& messages) override
    {
        std::lock_guard lock(mutex);
        failIfAsked();
        backfillCalls.push_back(messages);
    }
    void upsertRateLimits(const RateLimitWindow& five, const RateLimitWindow& seven, Instant at) override
    {
        std::lock_guard lock(mutex);
        failIfAsked();
        rateLimitCalls.push_back({five, seven, at});
    }
    void setSessionActive(const std::string& sessionId, bool active) override
    {
        std::lock_guard lock(mutex);
        failIfAsked();
        order.push_back(std::string(active ? "start " : "end ") + sessionId);
    }

    void setSessionProjects(const std::vector<std::pair<std::string, std::string>>& given, bool onlyUnknown) override
    {
        std::lock_guard lock(mutex);
        failIfAsked();
        for (const auto& [session, project] : given)
            if (!onlyUnknown || !projects.count(session))
                projects[session] = project;
    }

    std::optional<std::string> stateValue(const std::string& key) override
    {
        std::lock_guard lock(mutex);
        const auto found = state.find(key);
        return found == state.end() ? std::nullopt : std::optional<std::string>(found->second);
    }
    void setStateValue(const std::string& key, const std::string& value) override
    {
        std::lock_guard lock(mutex);
        state[key] = value;
    }

    void setTranscriptMarks(const std::vector<TranscriptMark>& given) override
    {
        std::lock_guard lock(mutex);
        for (const TranscriptMark& mark : given)
            marks[mark.path] = mark;
    }
    std::vector<TranscriptMark> transcriptMarks() override
    {
        std::lock_guard lock(mutex);
        std::vector<TranscriptMark> all;
        for (const auto& [path, mark] : marks)
            all.push_back(mark);
        return all;
    }

    std::mutex mutex;
    std::map<std::string, std::string> projects;
    std::map<std::string, TranscriptMark> marks;
    std::map<std::string, std::string> state;
    std::atomic<int> failuresToCome = 0; // a test watches it count down while the writes go on
    std::vector<std::vector<MessageInsert>> insertCalls;
    std::vector<std::vector<MessageInsert>> backfillCalls;
    std::vector<RateLimits> rateLimitCalls;
    std::vector<std::string> order; // "insert <ids>", "start <session>", "end <session>"

private:
    void failIfAsked()
    {
        if (failuresToCome > 0) {
            --failuresToCome;
            throw WriteError(WriteError::Kind::stepFailed, "database is locked");
        }
    }
};

} // namespace tallyglass::test
