#include "core/ZoneNames.h"

#include "core/CommandLine.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tallyglass::ZoneNames {

namespace {

// A name is looked up as a file: one that climbs out of the database, or an
// absolute path, would let any file pose as a zone.
bool safeName(const std::string& name)
{
    if (name.empty() || name.front() == '/' || name.front() == ':')
        return false;
    std::istringstream parts(name);
    std::string part;
    while (std::getline(parts, part, '/'))
        if (part.empty() || part == "." || part == "..")
            return false;
    return name.back() != '/';
}

// "Z Asia/Kolkata ..." names a zone and "L Asia/Kolkata Asia/Calcutta" an alias.
void readCompactList(std::ifstream& in, std::vector<std::string>& names)
{
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string kind, first, second;
        words >> kind >> first >> second;
        if (kind == "Z" && !first.empty())
            names.push_back(first);
        else if (kind == "L" && !second.empty())
            names.push_back(second);
    }
}

// Tab-separated: codes, coordinates, the zone's name.
void readTable(std::ifstream& in, std::vector<std::string>& names)
{
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() == '#')
            continue;
        std::istringstream fields(line);
        std::string codes, place, name;
        if (std::getline(fields, codes, '\t') && std::getline(fields, place, '\t') && std::getline(fields, name, '\t'))
            names.push_back(name);
    }
}

} // namespace

std::filesystem::path databaseFolder()
{
    const char* folder = std::getenv("TZDIR");
    return folder && *folder ? std::filesystem::path(folder) : std::filesystem::path("/usr/share/zoneinfo");
}

bool isKnown(const std::string& name, const std::filesystem::path& folder)
{
    if (!safeName(name))
        return false;
    std::ifstream file(folder / name, std::ios::binary);
    char magic[4] = {};
    return file.read(magic, sizeof magic) && std::string(magic, sizeof magic) == "TZif";
}

std::vector<std::string> all(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    if (std::ifstream compact(folder / "tzdata.zi"); compact)
        readCompactList(compact, names);
    else if (std::ifstream table(folder / "zone1970.tab"); table)
        readTable(table, names);
    names.push_back("UTC");
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::optional<std::string> problem(const std::string& name, const std::filesystem::path& folder)
{
    if (isKnown(name, folder))
        return std::nullopt;
    const std::string near = CommandLine::nearest(name, all(folder));
    return "unknown time zone '" + name + "'" + (near.empty() ? std::string() : "; did you mean '" + near + "'?");
}

} // namespace tallyglass::ZoneNames
