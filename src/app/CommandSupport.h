#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tallyglass {
class WriteDatabase;
}

namespace tallyglass::CommandSupport {

// What the commands share: the terminal they print to, the local zone, and
// errors said as sentences.

// The width to fit in: $COLUMNS when it holds a positive number (the user's
// choice, also for piped output), else the terminal's width in columns; 0 when
// standard output is not a terminal (piped output is never cut).
std::size_t terminalWidth();

// Local time minus UTC now.
std::chrono::seconds zoneOffset();

// Writes all of `text` to standard output and returns the exit status: 0 when
// written, and also when the reader went away (`| head`: the rest is not
// wanted, as `ls | head` ends quietly); 1 after saying "cannot write the
// <what>: <reason>" when it could not be written, as on a full disk.
int output(const std::string& command, const std::string& what, const std::string& text);

// A database failure as a sentence naming the file and, where one is known, the
// fix; the file's name and the error's text are shown escaped (Printable).
std::string databaseProblem(const std::exception& error, const std::filesystem::path& database);

// Puts the user's price file (AppPaths::priceFile) in use, as every command and
// both long-running processes do at their start; a problem with it is said on
// standard error, and the built-in list is used. The problem, if any.
std::optional<std::string> usePriceFile();

// The database's writer as a command opens it (AppPaths::database), storing
// this machine's own messages under the name the long-running processes use
// (Preferences::machineName). Throws what the WriteDatabase constructor throws.
std::shared_ptr<WriteDatabase> openWriter();

// "tallyglass <command>: <text>" on standard error; returns `status`.
int fail(const std::string& command, const std::string& text, int status);

} // namespace tallyglass::CommandSupport
