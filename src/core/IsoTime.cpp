#include "core/IsoTime.h"

#include "core/UtcCalendar.h"

#include <array>
#include <cstdint>

namespace tallyglass::IsoTime {

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads exactly `count` ASCII digits at `pos`; advances on success.
bool readDigits(std::string_view text, std::size_t& pos, std::size_t count, unsigned& out)
{
    if (pos + count > text.size())
        return false;
    unsigned value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (!isDigit(c))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    pos += count;
    out = value;
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c)
{
    if (pos >= text.size() || text[pos] != c)
        return false;
    ++pos;
    return true;
}

void appendPadded(std::string& out, std::int64_t value, int width)
{
    std::array<char, 24> digits{};
    int n = 0;
    std::uint64_t v = value < 0 ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
    do {
        digits[static_cast<std::size_t>(n++)] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (value < 0)
        out.push_back('-');
    for (int i = n; i < width; ++i)
        out.push_back('0');
    while (n > 0)
        out.push_back(digits[static_cast<std::size_t>(--n)]);
}

std::string format(Instant t, bool withMillis)
{
    constexpr std::int64_t microsPerDay = 86'400LL * 1'000'000LL;
    const std::int64_t day = UtcCalendar::dayNumber(t);
    const std::int64_t intoDay = t.time_since_epoch().count() - day * microsPerDay;
    const UtcCalendar::CivilDate date = UtcCalendar::civilFromDays(day);
    const std::int64_t seconds = intoDay / 1'000'000;

    std::string out;
    out.reserve(24);
    appendPadded(out, date.year, 4);
    out.push_back('-');
    appendPadded(out, date.month, 2);
    out.push_back('-');
    appendPadded(out, date.day, 2);
    out.push_back('T');
    appendPadded(out, seconds / 3600, 2);
    out.push_back(':');
    appendPadded(out, seconds / 60 % 60, 2);
    out.push_back(':');
    appendPadded(out, seconds % 60, 2);
    if (withMillis) {
        out.push_back('.');
        appendPadded(out, intoDay / 1000 % 1000, 3);
    }
    out.push_back('Z');
    return out;
}

} // namespace

std::optional<Instant> parse(std::string_view text)
{
    std::size_t pos = 0;
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') || !readDigits(text, pos, 2, month)
        || !expect(text, pos, '-') || !readDigits(text, pos, 2, day) || !expect(text, pos, 'T')
        || !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') || !readDigits(text, pos, 2, minute)
        || !expect(text, pos, ':') || !readDigits(text, pos, 2, second))
        return std::nullopt;
    if (!UtcCalendar::isValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    std::int64_t micros = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const std::size_t firstDigit = pos;
        std::int64_t scale = 100'000;
        while (pos < text.size() && isDigit(text[pos])) {
            micros += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == firstDigit)
            return std::nullopt;
    }

    std::int64_t offsetSeconds = 0;
    if (pos >= text.size())
        return std::nullopt;
    const char zone = text[pos++];
    if (zone == '+' || zone == '-') {
        unsigned offHour = 0, offMinute = 0;
        if (!readDigits(text, pos, 2, offHour))
            return std::nullopt;
        if (pos < text.size() && text[pos] == ':')
            ++pos;
        if (!readDigits(text, pos, 2, offMinute) || offHour > 23 || offMinute > 59)
            return std::nullopt;
        offsetSeconds = static_cast<std::int64_t>(offHour * 3600 + offMinute * 60) * (zone == '+' ? 1 : -1);
    } else if (zone != 'Z') {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;

    const std::int64_t days = UtcCalendar::daysFromCivil(year, month, day);
    const std::int64_t seconds = days * 86'400 + hour * 3600 + minute * 60 + second - offsetSeconds;
    return Instant{std::chrono::microseconds{seconds * 1'000'000 + micros}};
}

std::string formatSeconds(Instant t)
{
    return format(t, false);
}

std::string formatMillis(Instant t)
{
    return format(t, true);
}

} // namespace tallyglass::IsoTime
