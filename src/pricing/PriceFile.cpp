#include "pricing/PriceFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace tallyglass::PriceFile {

namespace {

// Raised with the line a field's problem is on.
struct Refusal {
    Problem problem;
};

std::string named(std::string_view name)
{
    return "'" + std::string(name) + "'";
}

// Walks a document that is known to be valid JSON, keeping the line it is on,
// so that a field's problem can be said where the user will find it.
class Walker {
public:
    explicit Walker(std::string_view text)
        : text_(text)
    {
    }

    std::size_t line() const { return line_; }

    char peek()
    {
        space();
        return pos_ < text_.size() ? text_[pos_] : '\0';
    }

    void take(char expected)
    {
        if (peek() == expected)
            ++pos_;
    }

    std::string string()
    {
        space();
        const std::size_t start = pos_++;
        while (pos_ < text_.size() && text_[pos_] != '"')
            pos_ += text_[pos_] == '\\' ? 2 : 1;
        ++pos_;
        return nlohmann::json::parse(text_.substr(start, pos_ - start)).get<std::string>();
    }

    // A number, true, false or null, as written.
    std::string_view scalar()
    {
        space();
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !std::strchr(",]} \t\r\n", text_[pos_]))
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    // Calls `member(key, keyLine)` for each member of the object here, which
    // must read or skip its value.
    template <typename Member>
    void members(Member&& member)
    {
        take('{');
        while (peek() == '"') {
            const std::size_t keyLine = line_;
            const std::string key = string();
            take(':');
            member(key, keyLine);
            take(',');
        }
        take('}');
    }

private:
    void space()
    {
        while (pos_ < text_.size() && std::strchr(" \t\r\n", text_[pos_])) {
            if (text_[pos_] == '\n')
                ++line_;
            ++pos_;
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
};

[[noreturn]] void refuse(std::size_t line, std::string reason)
{
    throw Refusal{{line, std::move(reason)}};
}

double price(Walker& walker, const std::string& field)
{
    const char first = walker.peek();
    const std::size_t line = walker.line();
    if (first != '-' && (first < '0' || first > '9'))
        refuse(line, "expected a number for " + named(field));
    const double value = nlohmann::json::parse(walker.scalar()).get<double>();
    if (value < 0)
        refuse(line, "a negative price for " + named(field));
    if (!std::isfinite(value) || value > maxPrice)
        refuse(line, "the price for " + named(field) + " is beyond any price (at most 1000000 per million tokens)");
    return value;
}

// The rates of one model (or of its long context, `nested`), at the walker's object.
ModelPricing pricing(Walker& walker, const std::string& owner, bool nested, std::optional<ModelPricing>& longContext)
{
    if (walker.peek() != '{')
        refuse(walker.line(), "expected an object for " + named(owner));
    const std::size_t opened = walker.line();
    ModelPricing rates;
    std::optional<double> cacheWrite1h;
    std::set<std::string> seen;
    walker.members([&](const std::string& field, std::size_t line) {
        if (!seen.insert(field).second)
            refuse(line, named(field) + " appears twice in " + named(owner));
        if (field == "input")
            rates.inputPerMTok = price(walker, field);
        else if (field == "output")
            rates.outputPerMTok = price(walker, field);
        else if (field == "cacheWrite")
            rates.cacheWrite5mPerMTok = price(walker, field);
        else if (field == "cacheWrite1h")
            cacheWrite1h = price(walker, field);
        else if (field == "cacheRead")
            rates.cacheReadPerMTok = price(walker, field);
        else if (field == "longContext" && !nested) {
            std::optional<ModelPricing> none;
            longContext = pricing(walker, "longContext", true, none);
        } else
            refuse(line, "unknown field " + named(field) + " in " + named(owner)
                    + " (the fields are input, output, cacheWrite, cacheWrite1h, cacheRead"
                    + (nested ? ")" : " and longContext)"));
    });
    for (const char* required : {"input", "output", "cacheWrite", "cacheRead"}) {
        if (!seen.count(required))
            refuse(opened, named(owner) + " has no " + named(required));
    }
    rates.cacheWrite1hPerMTok = cacheWrite1h.value_or(2 * rates.inputPerMTok);
    return rates;
}

std::vector<PriceList::Entry> models(Walker& walker)
{
    if (walker.peek() != '{')
        refuse(walker.line(), "expected an object for 'models'");
    std::vector<PriceList::Entry> entries;
    std::set<std::string> seen;
    walker.members([&](const std::string& key, std::size_t line) {
        if (key.empty())
            refuse(line, "a model without a name");
        if (!seen.insert(key).second)
            refuse(line, named(key) + " appears twice");
        PriceList::Entry entry{key, {}, std::nullopt};
        entry.standard = pricing(walker, key, false, entry.longContext);
        entries.push_back(std::move(entry));
    });
    return entries;
}

// "parse error at line 3, column 5: syntax error while parsing object - ..." less its place.
std::string syntaxReason(const nlohmann::json::parse_error& error)
{
    std::string what = error.what();
    if (const auto column = what.find("column "); column != std::string::npos) {
        if (const auto colon = what.find(": ", column); colon != std::string::npos)
            what = what.substr(colon + 2);
    }
    return "not valid JSON: " + what;
}

} // namespace

Parsed parse(std::string_view text)
{
    if (text.size() > maxBytes)
        return {{}, Problem{0, "larger than 1 MiB, which no price list needs"}};
    if (text.starts_with("\xef\xbb\xbf"))
        text.remove_prefix(3); // the mark some editors begin UTF-8 with; it moves no line
    try {
        [[maybe_unused]] const auto document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& error) {
        const std::size_t at = std::min<std::size_t>(error.byte == 0 ? 0 : error.byte - 1, text.size());
        const auto line = static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n')) + 1;
        return {{}, Problem{line, syntaxReason(error)}};
    }
    Walker walker(text);
    try {
        if (walker.peek() != '{')
            refuse(walker.line(), "expected an object holding 'models'");
        const std::size_t opened = walker.line();
        std::optional<std::vector<PriceList::Entry>> entries;
        walker.members([&](const std::string& key, std::size_t line) {
            if (key != "models")
                refuse(line, "unknown field " + named(key) + " (the file holds only 'models')");
            if (entries)
                refuse(line, "'models' appears twice");
            entries = models(walker);
        });
        if (!entries)
            refuse(opened, "expected 'models'");
        return {std::move(*entries), std::nullopt};
    } catch (const Refusal& refusal) {
        return {{}, refusal.problem};
    }
}

Loaded load(const std::filesystem::path& path, const std::string& shown)
{
    const auto builtIn = [] { return std::make_shared<const PriceList>(); };
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int error = errno;
        std::error_code ignored;
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, ignored)))
            return {builtIn(), std::nullopt};
        return {std::make_shared<const PriceList>(PriceList::standingIn()),
                shown + ": cannot be read: " + std::strerror(error)};
    }
    std::string text;
    text.resize(maxBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad() || std::filesystem::is_directory(path))
        return {std::make_shared<const PriceList>(PriceList::standingIn()), shown + ": cannot be read: not a file"};
    text.resize(static_cast<std::size_t>(in.gcount()));
    Parsed parsed = parse(text);
    if (parsed.problem) {
        const std::string where = parsed.problem->line ? " line " + std::to_string(parsed.problem->line) : "";
        return {std::make_shared<const PriceList>(PriceList::standingIn()), shown + where + ": " + parsed.problem->reason};
    }
    return {std::make_shared<const PriceList>(std::move(parsed.entries)), std::nullopt};
}

Applied apply(const std::filesystem::path& path, const std::string& shown)
{
    Loaded loaded = load(path, shown);
    const auto before = ModelPricingCatalog::current();
    const bool changed = loaded.list->version() != before->version()
        || loaded.list->repricesStored() != before->repricesStored() || loaded.list->own() != before->own();
    if (changed)
        ModelPricingCatalog::use(loaded.list);
    return {changed && loaded.list->repricesStored(), std::move(loaded.problem)};
}

} // namespace tallyglass::PriceFile
