#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tallyglass::CommandLine {

// The options of one command. `-h` and `--help` are always known.
struct Option {
    std::string name;      // "--days"
    std::string valueName; // "N"; empty for a flag
};

struct Parsed {
    bool help = false;
    std::map<std::string, std::string> values; // by option name; a flag maps to ""
    std::vector<std::string> words;            // what is not an option, in order

    bool has(const std::string& name) const { return values.count(name) != 0; }
    const std::string& value(const std::string& name) const { return values.at(name); }
};

// A mistake in the arguments, said so that the user can fix it: what was wrong
// and, where one is near, what was probably meant.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads `--name value` and `--name=value` alike; "--" ends the options. An
// option given twice keeps its last value. Throws UsageError for an unknown
// option (suggesting the nearest known one), a missing value, or a value
// given to a flag. With -h/--help anywhere nothing else is checked.
Parsed parse(const std::vector<std::string>& arguments, const std::vector<Option>& options);

// The known name nearest to `typed` (one or two edits, or a prefix), else empty.
std::string nearest(const std::string& typed, const std::vector<std::string>& known);

} // namespace tallyglass::CommandLine
