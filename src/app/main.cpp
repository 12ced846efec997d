#include "app/Version.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view usage =
    "Usage: tallyglass [--version | --help]\n"
    "\n"
    "Shows how many tokens Claude Code uses and what they cost.\n"
    "\n"
    "Options:\n"
    "  --version   print the version and exit\n"
    "  --help      print this help and exit\n";

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tallyglass %s\n", tallyglass::appVersion);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "tallyglass: unknown option '%s'\n\n", argv[1]);
        std::fwrite(usage.data(), 1, usage.size(), stderr);
        return 2;
    }
    std::fprintf(stderr, "[tallyglass] the desktop interface is not built yet; see --help\n");
    return 1;
}
