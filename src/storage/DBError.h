#pragma once

#include <stdexcept>
#include <string>

namespace tallyglass {

// A failure of the read side. what() is the human-readable description.
class DBError : public std::runtime_error {
public:
    enum class Kind { cannotOpen, prepareFailed, stepFailed, dbMissing };

    DBError(Kind kind, std::string message = {}, int code = 0);

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // SQLite's (extended) result code; 0 when the failure did not come from SQLite.
    int code() const { return code_; }
    int primaryCode() const { return code_ & 0xFF; }
    std::string description() const { return what(); }

    bool operator==(const DBError& other) const { return kind_ == other.kind_ && message_ == other.message_; }

private:
    Kind kind_;
    std::string message_;
    int code_;
};

} // namespace tallyglass
