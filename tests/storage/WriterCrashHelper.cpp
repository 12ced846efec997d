// A writer process for the crash test: writes batches of 500 messages, each
// batch under its own session, and prints a batch's number once it is stored.
// The test kills it with SIGKILL at a random moment.
//
//   WriterCrashHelper <app.db> <first batch number>

#include "storage/WriteDatabase.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    tallyglass::WriteDatabase db(argv[1]);
    const long first = std::strtol(argv[2], nullptr, 10);
    const std::string padding(300, 'p'); // realistic row sizes, so batches span many pages
    for (long batch = first;; ++batch) {
        std::vector<tallyglass::MessageInsert> messages;
        for (int i = 0; i < 500; ++i) {
            // Ids spread over the key space, as real message ids are.
            messages.push_back({.messageId = std::to_string((batch * 7919 + i * 104729) % 1000003) + "-" + padding + "-b"
                                    + std::to_string(batch),
                                .sessionId = "session-" + std::to_string(batch), .timestamp = "2025-01-15T10:00:00Z",
                                .role = "assistant", .model = "claude-sonnet-4-6", .inputTokens = i, .outputTokens = 1,
                                .machine = {}, .project = {}});
        }
        db.insertBackfillMessages(messages);
        std::printf("%ld\n", batch);
        std::fflush(stdout);
    }
}
