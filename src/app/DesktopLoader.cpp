#include "app/DesktopLoader.h"

#include "app/CommandSupport.h"
#include "core/Printable.h"

#include <dlfcn.h>

#include <system_error>

#ifndef TALLYGLASS_DESKTOP_MODULE_DIR
#define TALLYGLASS_DESKTOP_MODULE_DIR "../lib/tallyglass"
#endif

namespace tallyglass::DesktopLoader {

std::vector<std::filesystem::path> candidates(const std::filesystem::path& programFolder, const std::string& installedRelative)
{
    return {programFolder / moduleName, (programFolder / installedRelative / moduleName).lexically_normal()};
}

int run(int argc, char** argv)
{
    std::error_code failed;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed)
        return CommandSupport::fail("", "cannot find the program's own folder (" + failed.message() + ") to load the desktop from", 1);
    std::string problems;
    for (const std::filesystem::path& module : candidates(program.parent_path(), TALLYGLASS_DESKTOP_MODULE_DIR)) {
        std::error_code missing;
        if (!std::filesystem::exists(module, missing)) {
            problems += (problems.empty() ? "" : ", ") + Printable::escaped(module.string()) + " (not there)";
            continue;
        }
        void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        const char* why = handle ? nullptr : ::dlerror();
        using Entry = int (*)(int, char**);
        const auto entry = handle ? reinterpret_cast<Entry>(::dlsym(handle, "tallyglass_desktop_main")) : nullptr;
        if (entry)
            return entry(argc, argv);
        problems += (problems.empty() ? "" : ", ") + Printable::escaped(module.string()) + " ("
            + Printable::escaped(why ? why : "no entry in it") + ")";
    }
    return CommandSupport::fail("", "cannot load the desktop application: " + problems
            + "; reinstall Tallyglass, or run `tallyglass --headless` for the service without windows", 1);
}

} // namespace tallyglass::DesktopLoader
