#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace tallyglass::SettingsJson {

// Reading and writing Claude Code's settings file so that what the installer
// does not touch comes back as it was written.
//
// A number whose text the parsed value would not give back (a 30-digit
// integer, 1e400, 1.50, 0.1000000000000000055511, -0) is held as that text
// in a binary value, a kind that JSON text never produces, and written back
// verbatim. Every other number is an ordinary value.

// Throws nlohmann::json::parse_error, whose message names the line and column.
nlohmann::json parse(std::string_view text);

// Pretty-printed with an indent of two, keys sorted, every "/" inside strings
// written as "\/", and a final newline: the form the file has always had.
std::string serialise(const nlohmann::json& settings);

} // namespace tallyglass::SettingsJson
