#include "core/CommandLine.h"

#include <algorithm>

namespace tallyglass::CommandLine {

namespace {

std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> previous(b.size() + 1);
    std::vector<std::size_t> current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j)
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        std::swap(previous, current);
    }
    return previous[b.size()];
}

} // namespace

std::string nearest(const std::string& typed, const std::vector<std::string>& known)
{
    std::string best;
    std::size_t bestDistance = 3;
    for (const std::string& name : known) {
        if (typed.size() >= 3 && name.starts_with(typed))
            return name;
        const std::size_t distance = editDistance(typed, name);
        if (distance < bestDistance) {
            bestDistance = distance;
            best = name;
        }
    }
    return best;
}

Parsed parse(const std::vector<std::string>& arguments, const std::vector<Option>& options)
{
    Parsed parsed;
    for (const std::string& argument : arguments) {
        if (argument == "--")
            break;
        if (argument == "-h" || argument == "--help") {
            parsed.help = true;
            return parsed;
        }
    }
    std::vector<std::string> names;
    for (const Option& option : options)
        names.push_back(option.name);
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            parsed.words.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        const auto option = std::find_if(options.begin(), options.end(), [&](const Option& o) { return o.name == name; });
        if (option == options.end()) {
            const std::string near = nearest(name, names);
            throw UsageError("unknown option '" + name + "'" + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
        }
        if (option->valueName.empty()) {
            if (equals != std::string::npos)
                throw UsageError(name + " takes no value");
            parsed.values[name] = "";
            continue;
        }
        if (equals != std::string::npos) {
            parsed.values[name] = argument.substr(equals + 1);
        } else if (i + 1 < arguments.size() && !(arguments[i + 1].starts_with("--") && arguments[i + 1].size() > 2)) {
            parsed.values[name] = arguments[++i];
        } else {
            throw UsageError(name + " needs a value: " + name + " " + option->valueName);
        }
        if (parsed.values[name].empty())
            throw UsageError(name + " needs a value: " + name + " " + option->valueName);
    }
    return parsed;
}

} // namespace tallyglass::CommandLine
