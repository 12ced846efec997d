#include "app/HeadlessApp.h"

#include "app/AppPaths.h"
#include "app/CoreServices.h"
#include "app/StopSignals.h"
#include "capture/ImportService.h"
#include "capture/LimitWatcher.h"
#include "core/Log.h"
#include "dashboard/DashboardRecords.h"
#include "storage/Preferences.h"
#include "storage/WriteDatabase.h"

#include <QCoreApplication>

#include <cstdio>

#include <csignal>

namespace tallyglass {

HeadlessApp::HeadlessApp(HeadlessOptions options)
    : options_(std::move(options))
{
}

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
        // The name given for this run wins over the setting, which stays as it is.
        core_ = std::make_unique<CoreServices>(options_.machine.value_or(Preferences::shared().machineName()));
    } catch (const std::exception& error) {
        Log::line(std::string("failed to open WriteDatabase: ") + error.what());
        return 1; // with nothing running, a headless process serves no one
    }
    // Warnings go where a headless user looks: standard output.
    limits_ = std::make_unique<LimitWatcher>([](const std::string& text) {
        std::printf("warning: %s\n", text.c_str());
        std::fflush(stdout);
    });
    limits_->remember(CoreServices::recentLimitReadings());
    core_->setLimitObserver([limits = limits_.get()](const LimitReading& reading) { limits->onReading(reading); });
    core_->startServer();
    // An address that cannot be bound is said and the rest runs: the loopback still serves this machine.
    core_->listenForOtherMachines(options_.otlpListen.value_or(Preferences::shared().otlpListen()));
    runHistoryImport();
    core_->sendUsageTo(!options_.otlpEndpoint.empty() ? options_.otlpEndpoint : Preferences::shared().otlpEndpoint());
    app.exec();
    shutDown();
    return 0;
}

// The first start imports the whole history; every later one reads what
// transcripts gained since, in the background. Progress and the outcome go to
// standard output, where a headless user looks, a line a second at most.
void HeadlessApp::runHistoryImport()
{
    ImportService& imports = core_->imports();
    QObject::connect(&imports, &ImportService::progressChanged, &imports, [this](qint64 done, qint64 total) {
        const auto now = std::chrono::steady_clock::now();
        if (done != 0 && done != total && now - lastProgressLine_ < std::chrono::seconds(1))
            return;
        lastProgressLine_ = now;
        Log::print("import: " + std::to_string(done) + " of " + std::to_string(total) + " files");
    });
    QObject::connect(&imports, &ImportService::finished, &imports, [&imports] {
        const auto& outcome = *imports.lastOutcome();
        if (outcome.error)
            Log::line(ImportService::describe(outcome));
        else
            Log::print(ImportService::describe(outcome));
    });
    imports.run();
}

void HeadlessApp::shutDown()
{
    core_.reset(); // stops the server, lets handlers and reads finish, closes the file
}

} // namespace tallyglass
