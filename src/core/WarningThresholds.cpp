#include "core/WarningThresholds.h"

#include <algorithm>
#include <stdexcept>

namespace tallyglass::WarningThresholds {

std::vector<int> parse(std::string_view text)
{
    std::vector<int> out;
    std::string token;
    const auto take = [&] {
        if (token.empty())
            return;
        int value = 0;
        for (const char c : token) {
            if (c < '0' || c > '9' || value > 1000)
                throw std::invalid_argument("'" + token + "' is not a whole percentage; write thresholds like 80, 95");
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 100)
            throw std::invalid_argument(token + "% is outside 1\u2013100%");
        out.push_back(value);
        token.clear();
    };
    for (const char c : text) {
        if (c == ',' || c == ' ' || c == ';' || c == '\t' || c == '%') { // "80%, 95%" reads as 80, 95
            take();
        } else {
            token += c;
        }
    }
    take();
    if (out.empty())
        throw std::invalid_argument("give at least one threshold, such as 80, 95");
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

std::string format(const std::vector<int>& thresholds)
{
    std::string out;
    for (const int t : thresholds)
        out += (out.empty() ? "" : ", ") + std::to_string(t);
    return out;
}

} // namespace tallyglass::WarningThresholds
