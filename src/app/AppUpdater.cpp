#include "app/AppUpdater.h"

#include "core/Log.h"

namespace tallyglass {

AppUpdater& AppUpdater::shared()
{
    static AppUpdater instance;
    return instance;
}

AppUpdater::AppUpdater()
{
    Log::line("AppUpdater disabled \u2014 updates come from the package manager on this platform.");
}

} // namespace tallyglass
