#include "server/ListenAddress.h"

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>

namespace tallyglass {

namespace {

std::optional<std::uint16_t> portOf(std::string_view digits)
{
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    unsigned value = 0;
    for (const char c : digits)
        value = value * 10 + static_cast<unsigned>(c - '0');
    if (value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

std::optional<ListenAddress> ListenAddress::parse(std::string_view text)
{
    ListenAddress address;
    std::string_view host;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        address.family = Family::v6;
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string_view::npos)
            return std::nullopt;
        host = text.substr(0, colon);
        rest = text.substr(colon);
    }
    if (rest.size() < 2 || rest.front() != ':')
        return std::nullopt;
    const auto port = portOf(rest.substr(1));
    // inet_pton wants a terminated string, and would read an IPv6 address as
    // far as its first colon if handed one without brackets.
    const std::string hostText(host);
    if (!port || hostText.empty() || hostText.size() > INET6_ADDRSTRLEN)
        return std::nullopt;
    const int af = address.family == Family::v6 ? AF_INET6 : AF_INET;
    if (::inet_pton(af, hostText.c_str(), address.bytes.data()) != 1)
        return std::nullopt;
    address.port = *port;
    return address;
}

std::string ListenAddress::text() const
{
    char buffer[INET6_ADDRSTRLEN] = {};
    const bool v6 = family == Family::v6;
    ::inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), buffer, sizeof buffer);
    const std::string host(buffer);
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ListenAddress::isAnyAddress() const
{
    const std::size_t length = family == Family::v6 ? 16 : 4;
    return std::all_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length), [](unsigned char b) { return b == 0; });
}

} // namespace tallyglass
