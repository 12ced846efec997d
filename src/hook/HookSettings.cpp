#include "hook/HookSettings.h"

#include <optional>

namespace tallyglass::HookSettings {

namespace {

using json = nlohmann::json;

// Earlier versions put the user's status-line command, as it was, behind this;
// the shell that runs the whole text then split the command at its first ";"
// or "|" before our script saw it.
constexpr std::string_view chainSeparator = " -- ";
// Now the user's command goes to eval as one single-quoted word behind a pipe
// from our script, so the user's own shell reads it just as it read it alone.
constexpr std::string_view teeSeparator = " --tee | eval ";
constexpr std::string_view quotedQuote = "'\\''";

std::string_view trimSpaceAndTab(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool startsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

bool isArrayOfObjects(const json& value)
{
    if (!value.is_array())
        return false;
    for (const json& element : value) {
        if (!element.is_object())
            return false;
    }
    return true;
}

// A missing or non-text command counts as the empty text, which is not owned.
bool commandIsOwned(const json& hook)
{
    const auto command = hook.find("command");
    return command != hook.end() && command->is_string() && isOwnedCommand(command->get_ref<const std::string&>());
}

std::string singleQuoted(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += quotedQuote;
        else
            quoted += c;
    }
    return quoted + "'";
}

// The reverse of singleQuoted, for exactly what it writes; nothing for any other text.
std::optional<std::string> unquoted(std::string_view quoted)
{
    if (quoted.size() < 2 || quoted.front() != '\'' || quoted.back() != '\'')
        return std::nullopt;
    quoted = quoted.substr(1, quoted.size() - 2);
    std::string text;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\'') {
            text += quoted[i];
            continue;
        }
        if (quoted.substr(i, quotedQuote.size()) != quotedQuote)
            return std::nullopt;
        text += '\'';
        i += quotedQuote.size() - 1;
    }
    return text;
}

// The user's command in a status line of ours as this version writes it, byte
// for byte. Our part holds no " -- ": that is the form of earlier versions,
// whose user command may hold anything, this separator too.
std::optional<std::string> teedCommand(std::string_view command)
{
    const std::size_t at = command.find(teeSeparator);
    if (at == std::string_view::npos || !isOwnedCommand(command.substr(0, at))
        || command.substr(0, at).find(chainSeparator) != std::string_view::npos)
        return std::nullopt;
    return unquoted(trimSpaceAndTab(command.substr(at + teeSeparator.size())));
}

// The user's command in a status line of ours as earlier versions wrote it,
// trimmed as those versions restored it.
std::optional<std::string> oldChainedCommand(std::string_view command)
{
    const std::size_t at = command.find(chainSeparator);
    if (at == std::string_view::npos)
        return std::nullopt;
    const std::string_view head = trimSpaceAndTab(command.substr(0, at));
    const std::string_view tail = trimSpaceAndTab(command.substr(at + chainSeparator.size()));
    if (!isOwnedCommand(head) || tail.empty())
        return std::nullopt;
    return std::string(tail);
}

// Unwraps until the command is no longer ours: an owned command behind ours
// (written by hand) would otherwise survive every install and uninstall.
json withoutOwnedStatusLine(json settings)
{
    json& statusLine = settings["statusLine"];
    while (commandIsOwned(statusLine)) {
        const std::string& command = statusLine["command"].get_ref<const std::string&>();
        std::optional<std::string> user = teedCommand(command);
        if (!user)
            user = oldChainedCommand(command);
        if (!user || user->empty()) {
            settings.erase("statusLine");
            return settings;
        }
        statusLine["command"] = std::move(*user);
    }
    return settings;
}

} // namespace

std::string ownedCommand(std::string_view scriptFileName)
{
    return "~/.config/tallyglass/" + std::string(scriptFileName);
}

bool isOwnedCommand(std::string_view command)
{
    const std::string_view text = trimSpaceAndTab(command);
    if (text.empty())
        return false;
    if (startsWith(text, "~/.config/tallyglass/") || startsWith(text, "$HOME/.config/tallyglass/")
        || startsWith(text, "${HOME}/.config/tallyglass/"))
        return true;
    return startsWith(text, "/") && text.find("/.config/tallyglass/") != std::string_view::npos;
}

bool hasOwnedCapture(const json& settings)
{
    const auto hooks = settings.find("hooks");
    if (hooks == settings.end() || !hooks->is_object())
        return false;
    for (const json& matchers : *hooks) {
        if (!matchers.is_array())
            continue;
        for (const json& matcher : matchers) {
            if (!matcher.is_object())
                continue;
            const auto inner = matcher.find("hooks");
            if (inner == matcher.end() || !inner->is_array())
                continue;
            for (const json& hook : *inner) {
                if (hook.is_object() && commandIsOwned(hook))
                    return true;
            }
        }
    }
    return false;
}

bool hasOwnedStatusLine(const json& settings)
{
    const auto statusLine = settings.find("statusLine");
    return statusLine != settings.end() && statusLine->is_object() && commandIsOwned(*statusLine);
}

bool hasOldChainedStatusLine(const json& settings)
{
    if (!hasOwnedStatusLine(settings))
        return false;
    const std::string& command = settings.at("statusLine").at("command").get_ref<const std::string&>();
    return !teedCommand(command) && oldChainedCommand(command);
}

json pruneAllOwned(json settings)
{
    if (!settings.is_object())
        return settings;
    if (const auto hooks = settings.find("hooks"); hooks != settings.end() && hooks->is_object()) {
        json pruned = json::object();
        for (auto& [event, matchers] : hooks->items()) {
            if (!isArrayOfObjects(matchers)) {
                pruned[event] = matchers;
                continue;
            }
            json kept = json::array();
            for (const json& matcher : matchers) {
                const auto inner = matcher.find("hooks");
                json keptHooks = json::array();
                if (inner != matcher.end() && isArrayOfObjects(*inner)) {
                    for (const json& hook : *inner) {
                        if (!commandIsOwned(hook))
                            keptHooks.push_back(hook);
                    }
                }
                if (!keptHooks.empty()) {
                    json keptMatcher = matcher;
                    keptMatcher["hooks"] = std::move(keptHooks);
                    kept.push_back(std::move(keptMatcher));
                }
            }
            if (!kept.empty())
                pruned[event] = std::move(kept);
        }
        if (pruned.empty())
            settings.erase("hooks");
        else
            settings["hooks"] = std::move(pruned);
    }
    if (hasOwnedStatusLine(settings))
        settings = withoutOwnedStatusLine(std::move(settings));
    return settings;
}

json installed(json settings, std::string_view scriptFileName)
{
    settings = pruneAllOwned(settings.is_object() ? std::move(settings) : json::object());
    const std::string owned = ownedCommand(scriptFileName);

    json hooks = settings.contains("hooks") && settings["hooks"].is_object() ? settings["hooks"] : json::object();
    for (const std::string_view event : captureEventNames) {
        const std::string key(event);
        json matchers = hooks.contains(key) && isArrayOfObjects(hooks[key]) ? hooks[key] : json::array();
        matchers.push_back({{"matcher", ""}, {"hooks", json::array({{{"type", "command"}, {"command", owned}}})}});
        hooks[key] = std::move(matchers);
    }
    settings["hooks"] = std::move(hooks);

    const auto statusLine = settings.find("statusLine");
    const bool isObject = statusLine != settings.end() && statusLine->is_object();
    const json* command = isObject && statusLine->contains("command") ? &(*statusLine)["command"] : nullptr;
    if (command && command->is_string() && !command->get_ref<const std::string&>().empty()) {
        json chained = *statusLine;
        chained["type"] = "command";
        chained["command"] = owned + std::string(teeSeparator) + singleQuoted(command->get_ref<const std::string&>());
        settings["statusLine"] = std::move(chained);
        return settings;
    }
    json fresh = isObject ? *statusLine : json::object();
    fresh["type"] = "command";
    fresh["command"] = owned;
    settings["statusLine"] = std::move(fresh);
    return settings;
}

} // namespace tallyglass::HookSettings
