#pragma once

#include <stdexcept>
#include <string>

namespace tallyglass {

// A failure of the database writer, carrying SQLite's own message and its
// (extended) result code: retries and skips are decided by the code, the
// message is for people.
class WriteError : public std::runtime_error {
public:
    enum class Kind { cannotOpen, prepareFailed, stepFailed, executeFailed };

    WriteError(Kind kind, std::string message, int code = 0);

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // SQLite's result code; 0 when the failure did not come from SQLite.
    int code() const { return code_; }
    int primaryCode() const { return code_ & 0xFF; }

    // The case name and the quoted SQLite text: stepFailed("database is locked").
    std::string description() const { return what(); }

    bool operator==(const WriteError& other) const { return kind_ == other.kind_ && message_ == other.message_; }

private:
    Kind kind_;
    std::string message_;
    int code_;
};

} // namespace tallyglass
