#include "app/PricesCommand.h"

#include "app/AppPaths.h"
#include "app/CommandSupport.h"
#include "core/CommandLine.h"
#include "core/Printable.h"
#include "dashboard/PriceReport.h"
#include "pricing/PriceFile.h"
#include "storage/DatabaseClient.h"

#include <cstdio>

namespace tallyglass::PricesCommand {

namespace {

const char* const help =
    "Usage: tallyglass prices [--json]\n"
    "\n"
    "The prices in use, in US dollars per million tokens: your own from\n"
    "~/.config/tallyglass/prices.json (marked, and in place of a built-in row of the\n"
    "same model), then the built-in list; then the models stored that have no price.\n"
    "\n"
    "Options:\n"
    "  --json           the same as JSON, for scripts\n"
    "  -h, --help       show this help\n";

} // namespace

int run(const std::vector<std::string>& arguments)
{
    using CommandSupport::fail;
    bool json = false;
    try {
        const auto parsed = CommandLine::parse(arguments, {{"--json", ""}});
        if (parsed.help) {
            std::fputs(help, stdout);
            return 0;
        }
        if (!parsed.words.empty())
            throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "'; prices takes only options");
        json = parsed.has("--json");
    } catch (const CommandLine::UsageError& error) {
        return fail("prices", Printable::escaped(error.what()) + "\n(see 'tallyglass prices --help')", 2);
    }

    // main put the file in use and said any problem; it is read again here only to show that problem.
    const auto file = AppPaths::priceFile();
    PriceReport::Input input;
    const auto list = ModelPricingCatalog::current();
    input.list = list.get();
    input.file = AppPaths::shown(file);
    input.problem = PriceFile::load(file, input.file).problem;
    const auto database = AppPaths::database();
    std::error_code ignored;
    if (std::filesystem::exists(database, ignored)) {
        try {
            input.seen = DatabaseClient(database).fetchModelCounts();
        } catch (const std::exception& error) {
            return fail("prices", CommandSupport::databaseProblem(error, database), 1);
        }
    }
    const std::string text
        = json ? PriceReport::renderJson(input) : PriceReport::renderText(input, CommandSupport::terminalWidth());
    const int status = CommandSupport::output("prices", "list", text);
    return status == 0 && input.problem ? 1 : status;
}

} // namespace tallyglass::PricesCommand
