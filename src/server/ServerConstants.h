#pragma once

#include <cstdint>

namespace tallyglass::ServerConstants {

inline constexpr std::uint16_t defaultPort = 45832;
inline constexpr std::uint16_t portRangeCount = 10;

// The remembered port when it is one of 45832...45841, else 45832.
std::uint16_t resolvedPort();

// Remembers a port the server came up on, for the next start and the hook commands.
void rememberPort(std::uint16_t port);

} // namespace tallyglass::ServerConstants
