#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::ZoneNames {

// The IANA time zones this system knows, from its zone database: $TZDIR,
// else /usr/share/zoneinfo (Debian's tzdata).
std::filesystem::path databaseFolder();

// Whether `name` ("Asia/Kolkata", "UTC") is a zone of the database: a
// compiled zone file inside `folder`, never a path out of it.
bool isKnown(const std::string& name, const std::filesystem::path& folder = databaseFolder());

// Every zone and alias the database lists (tzdata.zi, else zone1970.tab), sorted.
std::vector<std::string> all(const std::filesystem::path& folder = databaseFolder());

// Nothing when `name` is known; else the sentence that says so, with the
// nearest known name when one is close: "unknown time zone 'Asia/Kolkatta';
// did you mean 'Asia/Kolkata'?".
std::optional<std::string> problem(const std::string& name, const std::filesystem::path& folder = databaseFolder());

} // namespace tallyglass::ZoneNames
