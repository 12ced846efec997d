#pragma once

#include <stdexcept>
#include <string>

namespace tallyglass {

// A failure of the database writer, carrying SQLite's own message.
class WriteError : public std::runtime_error {
public:
    enum class Kind { cannotOpen, prepareFailed, stepFailed, executeFailed };

    WriteError(Kind kind, std::string message);

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

    // The case name and the quoted SQLite text: stepFailed("database is locked").
    std::string description() const { return what(); }

    bool operator==(const WriteError& other) const { return kind_ == other.kind_ && message_ == other.message_; }

private:
    Kind kind_;
    std::string message_;
};

} // namespace tallyglass
