#include "app/ReportCommand.h"

#include "app/AppPaths.h"
#include "dashboard/UsageReport.h"
#include "storage/DatabaseClient.h"

#include <charconv>
#include <cstdio>

namespace tallyglass::ReportCommand {

int run(const std::vector<std::string>& arguments)
{
    int days = 7;
    bool json = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--json") {
            json = true;
        } else if (arguments[i] == "--days" && i + 1 < arguments.size()) {
            const std::string& value = arguments[++i];
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), days);
            if (error != std::errc{} || end != value.data() + value.size() || days < 1 || days > 36'500) {
                std::fprintf(stderr, "tallyglass: --days takes a whole number of days from 1 to 36500\n");
                return 2;
            }
        } else {
            std::fprintf(stderr, "usage: tallyglass report [--days N] [--json]\n");
            return 2;
        }
    }

    const auto path = AppPaths::database();
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) {
        std::fprintf(stderr, "tallyglass: no database yet at %s; start 'tallyglass --headless' or run 'tallyglass import' first\n",
                     path.c_str());
        return 1;
    }
    DatabaseClient client(path);
    std::vector<DashboardMessage> messages;
    std::optional<UsageLimits> limits;
    try {
        messages = client.fetchAllMessages();
        limits = client.fetchUsageLimits();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tallyglass: cannot read %s: %s\n", path.c_str(), error.what());
        return 1;
    }
    const Instant now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    const auto report = UsageReport::build(messages, limits, days, now);
    if (!report) {
        if (json)
            std::printf("{\n  \"days\": %d,\n  \"empty\": true\n}\n", days);
        else
            std::printf("No usage recorded yet. Install the hook ('tallyglass hook install') or import the history "
                        "('tallyglass import').\n");
        return 0;
    }
    const std::string text = json ? UsageReport::renderJson(*report) : UsageReport::renderText(*report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}

} // namespace tallyglass::ReportCommand
