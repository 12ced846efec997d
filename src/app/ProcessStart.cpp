#include "app/ProcessStart.h"

#include "app/ActivationChannel.h"
#include "app/AppPaths.h"
#include "app/CommandSupport.h"
#include "app/SingleInstance.h"
#include "core/Printable.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <stdexcept>

namespace tallyglass::ProcessStart {

bool usesConfigFolder(const std::string& command)
{
    for (const char* name : {"hook", "import", "report", "blocks", "limits", "export", "prices", ""})
        if (command == name)
            return true;
    return command == "--headless";
}

int prepareConfigFolder(const std::string& command)
{
    const bool reads = command == "report" || command == "blocks" || command == "export" || command == "limits" || command == "prices";
    using AppPaths::ConfigAccess;
    if (const auto problem = AppPaths::configProblem(reads ? ConfigAccess::readOnly : ConfigAccess::readWrite))
        return CommandSupport::fail("", Printable::escaped(*problem), 1);
    // Whatever prices or shows costs takes the user's prices from its start;
    // the long-running processes follow the file's changes from then on.
    if (command != "hook")
        CommandSupport::usePriceFile();
    return 0;
}

int soleInstance(std::unique_ptr<QLockFile>& lock)
{
    try {
        lock = SingleInstance::acquire(AppPaths::configDirectory() / "running.lock");
    } catch (const std::runtime_error& error) {
        return CommandSupport::fail("", Printable::escaped(error.what()), 1);
    }
    QCoreApplication::setOrganizationName("tallyglass");
    QCoreApplication::setApplicationName("tallyglass");
    return lock ? 0 : alreadyRunning;
}

int showRunningReport()
{
    if (!ActivationChannel::requestShowReport(ActivationChannel::defaultPath(), std::chrono::seconds(5)))
        return alreadyRunning;
    std::fprintf(stderr, "[tallyglass] the running one brings its Full Report forward\n");
    return 0;
}

} // namespace tallyglass::ProcessStart
