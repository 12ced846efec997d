#include "app/ImportCommand.h"

#include "app/AppPaths.h"
#include "capture/CatchUp.h"
#include "capture/ScanService.h"
#include "storage/WriteDatabase.h"

#include <QSettings>

#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace tallyglass::ImportCommand {

int run(const std::vector<std::string>& arguments)
{
    if (!arguments.empty()) {
        std::fprintf(stderr, "usage: tallyglass import\n");
        return 2;
    }
    std::shared_ptr<WriteDatabase> writer;
    try {
        writer = std::make_shared<WriteDatabase>(AppPaths::database());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tallyglass: cannot open %s: %s\n", AppPaths::database().c_str(), error.what());
        return 1;
    }
    const auto roots = AppPaths::transcriptRoots();
    if (roots.empty())
        std::printf("No transcript folders found (looked for $CLAUDE_CONFIG_DIR/projects, ~/.claude/projects and "
                    "~/.config/claude/projects).\n");

    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    const auto started = std::chrono::steady_clock::now();
    auto lastLine = started;
    const auto progress = [&](std::int64_t done, std::int64_t total) {
        const auto now = std::chrono::steady_clock::now();
        const int percent = total == 0 ? 100 : static_cast<int>(100 * done / total);
        if (terminal) {
            std::printf("\r%3d%%  %lld of %lld files", percent, static_cast<long long>(done), static_cast<long long>(total));
            if (done == total)
                std::printf("\n");
            std::fflush(stdout);
        } else if (done == total || now - lastLine >= std::chrono::seconds(1)) {
            lastLine = now;
            std::printf("%d%%  %lld of %lld files\n", percent, static_cast<long long>(done), static_cast<long long>(total));
            std::fflush(stdout);
        }
    };

    const auto startedAt = std::chrono::system_clock::now();
    ScanService scan(writer, roots, 500);
    std::int64_t storedBefore = 0;
    try {
        storedBefore = writer->messageCount();
        scan.scanAll(progress);
    } catch (const std::exception& error) {
        if (terminal)
            std::printf("\n");
        std::fprintf(stderr, "tallyglass: import failed: %s\n", error.what());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto stats = scan.statistics();
    const std::int64_t storedAfter = writer->messageCount();
    const double megabytes = static_cast<double>(stats.bytes) / 1e6;
    std::printf("Imported %lld files (%.1f MB): %lld messages read, %lld newly stored, %.2f s, %.0f MB/s\n",
                static_cast<long long>(stats.files), megabytes, static_cast<long long>(stats.messagesRead),
                static_cast<long long>(storedAfter - storedBefore), seconds, seconds > 0 ? megabytes / seconds : 0.0);

    QSettings settings("tallyglass", "tallyglass");
    settings.setValue("tallyglass_first_scan_done", true);
    settings.sync();
    CatchUp::storeWatermark(startedAt); // the next start reads only what changes from now on
    return 0;
}

} // namespace tallyglass::ImportCommand
