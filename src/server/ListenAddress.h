#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallyglass {

// Where the listener for other machines binds, as the user writes it:
// "ADDR:PORT" with a numeric IPv4 address ("0.0.0.0:4318", "172.17.0.1:4318")
// or a bracketed IPv6 one ("[::]:4318"). Names are not looked up: a name that
// resolves to several addresses, or to another one tomorrow, would open the
// port somewhere the user did not mean.
struct ListenAddress {
    enum class Family { v4, v6 };

    Family family = Family::v4;
    std::array<unsigned char, 16> bytes{}; // network order; an IPv4 address uses the first four
    std::uint16_t port = 0;

    // Nothing for anything else: a name, no port, port 0 or past 65535, an
    // IPv6 address without brackets, white space.
    static std::optional<ListenAddress> parse(std::string_view text);

    // Written back as parse() reads it, in the address's shortest form.
    std::string text() const;
    // The address every interface answers on (0.0.0.0 or ::).
    bool isAnyAddress() const;

    bool operator==(const ListenAddress&) const = default;
};

} // namespace tallyglass
