#include "server/ServerConstants.h"

#include <QSettings>

namespace tallyglass::ServerConstants {

std::uint16_t resolvedPort()
{
    const QSettings settings("tallyglass", "tallyglass");
    bool ok = false;
    const int stored = settings.value(portKey, 0).toInt(&ok);
    if (ok && stored >= defaultPort && stored < defaultPort + portRangeCount)
        return static_cast<std::uint16_t>(stored);
    return defaultPort;
}

void rememberPort(std::uint16_t port)
{
    QSettings settings("tallyglass", "tallyglass");
    settings.setValue(portKey, static_cast<int>(port));
    settings.sync();
}

} // namespace tallyglass::ServerConstants
