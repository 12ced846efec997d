#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <string>

namespace tallyglass::CommandSupport {

// What the commands share: the terminal they print to, the local zone, and
// errors said as sentences.

// The terminal's width in columns; 0 when standard output is not a terminal
// (piped output is never cut).
std::size_t terminalWidth();

// Local time minus UTC now.
std::chrono::seconds zoneOffset();

// Writes all of `text` to standard output; false (errno set) when it could not,
// as on a full disk or a closed pipe.
bool print(const std::string& text);

// A database failure as a sentence naming the file and, where one is known, the fix.
std::string databaseProblem(const std::exception& error, const std::filesystem::path& database);

// "tallyglass <command>: <text>" on standard error; returns `status`.
int fail(const std::string& command, const std::string& text, int status);

} // namespace tallyglass::CommandSupport
