#include "app/HeadlessApp.h"

#include "app/AppPaths.h"
#include "app/CoreServices.h"
#include "app/StopSignals.h"
#include "capture/HistoryImport.h"
#include "capture/LimitWatcher.h"
#include "core/Log.h"
#include "dashboard/DashboardRecords.h"
#include "storage/WriteDatabase.h"

#include <QCoreApplication>

#include <cstdio>

#include <csignal>

namespace tallyglass {

HeadlessApp::HeadlessApp() = default;

HeadlessApp::~HeadlessApp()
{
    shutDown();
}

int HeadlessApp::run(QCoreApplication& app)
{
    // Hooked first: a stop signal during start-up waits in the pipe until the
    // event loop runs, instead of killing the process half started.
    StopSignals::install(&app, [&app] { app.quit(); });
    // A reader of our output that goes away must not take the process with it.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        core_ = std::make_unique<CoreServices>();
    } catch (const std::exception& error) {
        Log::line(std::string("failed to open WriteDatabase: ") + error.what());
        return 1; // with nothing running, a headless process serves no one
    }
    // Warnings go where a headless user looks: standard output.
    limits_ = std::make_unique<LimitWatcher>([](const std::string& text) {
        std::printf("warning: %s\n", text.c_str());
        std::fflush(stdout);
    });
    core_->setLimitObserver([limits = limits_.get()](const LimitReading& reading) { limits->onReading(reading); });
    core_->startServer();
    runHistoryImport();
    app.exec();
    shutDown();
    return 0;
}

// The first start imports the whole history; every later one reads again what
// was modified since the last import or catch-up began, in the background.
void HeadlessApp::runHistoryImport()
{
    scan_ = std::make_shared<HistoryImport>(core_->writer(), AppPaths::transcriptRoots());
    scanThread_ = std::thread([scan = scan_] {
        std::string what = "history import";
        auto lastReport = std::chrono::steady_clock::now();
        const auto progress = [&](std::int64_t done, std::int64_t total) {
            const auto now = std::chrono::steady_clock::now();
            if (done == 0 && scan->wasCatchUp())
                what = "catch-up"; // known once the run has looked in the database
            if (done == 0 || done == total || now - lastReport >= std::chrono::seconds(1)) {
                lastReport = now;
                Log::print(what + ": " + std::to_string(done) + " of " + std::to_string(total) + " files");
            }
        };
        try {
            scan->scanAll(progress);
            const auto stats = scan->statistics();
            std::string summary = what + (scan->stoppedEarly() ? " stopped: " : " done: ") + std::to_string(stats.files)
                + " files (" + std::to_string(stats.bytes / 1'000'000) + " MB), " + groupedCount(stats.linesRead)
                + " lines read";
            if (stats.impossibleTimes > 0)
                summary += ", " + groupedCount(stats.impossibleTimes)
                    + " left out for a time before 2000 or more than a day from now";
            Log::print(summary);
        } catch (const std::exception& error) {
            Log::line(what + " failed: " + error.what());
        }
    });
}

void HeadlessApp::shutDown()
{
    if (scan_)
        scan_->requestStop();
    if (scanThread_.joinable())
        scanThread_.join();
    scan_.reset();
    core_.reset(); // stops the server, lets handlers and reads finish, closes the file
}

} // namespace tallyglass
