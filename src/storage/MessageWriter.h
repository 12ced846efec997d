#pragma once

#include "core/Instant.h"
#include "core/MessageInsert.h"
#include "core/TranscriptMark.h"
#include "storage/RateLimitWindow.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tallyglass {

// How the capture, status-line and history-scan services reach the database
// writer. Every call blocks until its write is done and throws WriteError (or a
// filesystem error) on failure.
class MessageWriter {
public:
    virtual ~MessageWriter() = default;

    // Live capture: the sessions of these messages become (or stay) active.
    virtual void insertMessages(const std::vector<MessageInsert>& messages) = 0;
    // History import: sessions it creates start inactive.
    virtual void insertBackfillMessages(const std::vector<MessageInsert>& messages) = 0;
    virtual void upsertRateLimits(const RateLimitWindow& five, const RateLimitWindow& seven, Instant at) = 0;
    virtual void setSessionActive(const std::string& sessionId, bool active) = 0;
    // Which project (a folder path) each stored session belongs to; sessions not
    // stored yet are left alone. With `onlyUnknown` a stored project is kept: a
    // guess from a folder's name never replaces what an event said.
    virtual void setSessionProjects(const std::vector<std::pair<std::string, std::string>>& projects, bool onlyUnknown) = 0;
    // What the importers remember about the history they brought into this
    // database (whether the whole of it was imported, how far the catch-up
    // reached). It lives in the database itself, so that a file deleted or
    // replaced starts again from nothing instead of trusting marks it never had.
    virtual std::optional<std::string> stateValue(const std::string& key) = 0;
    virtual void setStateValue(const std::string& key, const std::string& value) = 0;
    // How far each transcript was read and stored. Stored only after the
    // messages before each mark are: a mark may lag (those lines are read
    // again, which stores nothing twice), never lead.
    virtual void setTranscriptMarks(const std::vector<TranscriptMark>& marks) = 0;
    virtual std::vector<TranscriptMark> transcriptMarks() = 0;
    // While a first import fills an empty file (true), the index of message
    // times may wait to be built once, at the end (false), instead of growing
    // row by row. One left out by a process that ended meanwhile is built
    // when the file is next opened.
    virtual void setBulkLoad(bool /*loading*/) {}
};

} // namespace tallyglass
