#include "app/CommandSupport.h"

#include "app/AppPaths.h"
#include "core/Log.h"
#include "pricing/PriceFile.h"

#include "core/DayClock.h"
#include "core/Printable.h"
#include "storage/DBError.h"
#include "storage/Preferences.h"
#include "storage/WriteDatabase.h"
#include "storage/WriteError.h"

#include <sqlite3.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace tallyglass::CommandSupport {

std::size_t terminalWidth()
{
    if (const char* columns = std::getenv("COLUMNS"); columns && *columns) {
        std::size_t value = 0;
        const auto [end, error] = std::from_chars(columns, columns + std::strlen(columns), value);
        if (error == std::errc{} && *end == '\0' && value > 0)
            return value;
    }
    if (::isatty(STDOUT_FILENO) == 0)
        return 0;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

std::chrono::seconds zoneOffset()
{
    return DayClock::offsetAt(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
}

int output(const std::string& command, const std::string& what, const std::string& text)
{
    // SIGPIPE is ignored (main), so a reader that has gone is EPIPE here, not a killed process.
    errno = 0;
    int error = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) < text.size())
        error = errno != 0 ? errno : EIO;
    else if (std::fflush(stdout) != 0 || std::ferror(stdout))
        error = errno != 0 ? errno : EIO;
    if (error == 0 || error == EPIPE)
        return 0;
    return fail(command, "cannot write the " + what + ": " + std::strerror(error), 1);
}

std::string databaseProblem(const std::exception& error, const std::filesystem::path& database)
{
    // The path comes from $HOME and the error text may quote it: both are shown escaped.
    const std::string file = Printable::escaped(database.string());
    const std::string folder = Printable::escaped(database.parent_path().string());
    std::string detail = error.what();
    bool opening = false;
    int code = 0;
    if (const auto* write = dynamic_cast<const WriteError*>(&error)) {
        detail = write->message();
        code = write->primaryCode();
        opening = write->kind() == WriteError::Kind::cannotOpen;
    } else if (dynamic_cast<const std::filesystem::filesystem_error*>(&error)) {
        opening = true; // its folder could not be made
    } else if (const auto* read = dynamic_cast<const DBError*>(&error)) {
        if (read->kind() == DBError::Kind::dbMissing)
            return "there is no database at " + file + " yet; run 'tallyglass import' to create it from Claude Code's transcripts";
        detail = read->message();
        code = read->primaryCode();
        opening = read->kind() == DBError::Kind::cannotOpen;
    }
    detail = Printable::escaped(detail);
    if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT)
        return "the database " + file + " is damaged (" + detail + "); move it aside and run 'tallyglass import' to build it again";
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED)
        return "the database " + file + " is busy (" + detail + "); try again in a moment";
    if (opening)
        return "cannot open the database " + file + " (" + detail + "); check that " + folder + " is a folder you can write to";
    return "cannot use the database " + file + " (" + detail + ")";
}

std::optional<std::string> usePriceFile()
{
    const auto applied = PriceFile::apply(AppPaths::priceFile(), AppPaths::shown(AppPaths::priceFile()));
    if (applied.problem)
        Log::line(*applied.problem + "; until it is mended, prices come from the built-in list");
    return applied.problem;
}

std::shared_ptr<WriteDatabase> openWriter()
{
    WriteDatabase::Options options;
    options.machineName = Preferences::shared().machineName();
    return std::make_shared<WriteDatabase>(AppPaths::database(), std::move(options));
}

int fail(const std::string& command, const std::string& text, int status)
{
    std::fprintf(stderr, "tallyglass%s%s: %s\n", command.empty() ? "" : " ", command.c_str(), text.c_str());
    return status;
}

} // namespace tallyglass::CommandSupport
