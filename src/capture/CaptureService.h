#pragma once

#include "capture/TranscriptCursors.h"
#include "core/MessageInsert.h"
#include "server/HookHandler.h"
#include "storage/MessageWriter.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass {

// Turns Claude Code's hook events into stored messages. SessionStart and
// SessionEnd mark a session; every other event reads the session's transcript
// (and, for SubagentStop, the subagent's own, attributed to the parent
// session) once the file has stopped growing, and stores its assistant
// messages in one write.
//
// Only what was appended since the last successful write is parsed: a cursor
// per transcript moves on after the write succeeded, so a failed write is
// retried with the next event. Paths are read only when they name a regular
// file.
class CaptureService final : public HookHandler {
public:
    CaptureService(std::shared_ptr<MessageWriter> writer, std::int64_t fileStabilityTimeoutMs,
                   std::int64_t fileStabilityIntervalMs);

    void handle(const std::string& body) override;

    const TranscriptCursors& cursors() const { return cursors_; }

private:
    struct Cursor {
        std::string path;
        TranscriptCursors::FileIdentity identity;
        std::uint64_t offset = 0;
        std::string head;
        std::string tail;
    };
    struct Parsed {
        std::vector<MessageInsert> inserts;
        std::optional<Cursor> cursor; // where to move once the inserts are stored
    };

    Parsed parseTranscript(const std::string& path, const std::optional<std::string>& sessionIdOverride, bool isSubagent);
    void waitForFileStable(const std::string& path) const;

    const std::shared_ptr<MessageWriter> writer_;
    const std::int64_t fileStabilityTimeoutMs_;
    const std::int64_t fileStabilityIntervalMs_;
    TranscriptCursors cursors_;
};

} // namespace tallyglass
