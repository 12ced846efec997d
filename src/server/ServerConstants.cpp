#include "server/ServerConstants.h"

#include "storage/Preferences.h"

namespace tallyglass::ServerConstants {

std::uint16_t resolvedPort()
{
    const std::optional<int> stored = Preferences::shared().rememberedPort();
    if (stored && *stored >= defaultPort && *stored < defaultPort + portRangeCount)
        return static_cast<std::uint16_t>(*stored);
    return defaultPort;
}

void rememberPort(std::uint16_t port)
{
    Preferences::shared().setRememberedPort(port);
}

} // namespace tallyglass::ServerConstants
