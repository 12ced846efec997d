#include "app/HeadlessApp.h"

#include "app/AppPaths.h"
#include "app/StopSignals.h"
#include "capture/CaptureService.h"
#include "capture/HistoryImport.h"
#include "capture/ScanService.h"
#include "capture/StatusLineService.h"
#include "core/Log.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "hook/HookSettings.h"
#include "server/HookRouter.h"
#include "server/LocalServer.h"
#include "server/ServerConstants.h"
#include "storage/WriteDatabase.h"

#include <QCoreApplication>
#include <QSettings>

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
        writer_ = std::make_shared<WriteDatabase>(AppPaths::database());
    } catch (const std::exception& error) {
        Log::line(std::string("failed to open WriteDatabase: ") + error.what());
        return 1; // with nothing running, a headless process serves no one
    }
    try {
        writer_->cleanupStaleActiveSessions(86'400);
    } catch (const std::exception&) {
        // A stale active mark only colours a session; start-up goes on.
    }
    setupServer();
    runHistoryImport();
    app.exec();
    shutDown();
    return 0;
}

void HeadlessApp::setupServer()
{
    const std::uint16_t port = ServerConstants::resolvedPort();
    capture_ = std::make_shared<CaptureService>(writer_, 400, 50);
    auto statusLine = std::make_shared<StatusLineService>(writer_);
    auto router = std::make_shared<HookRouter>(capture_, statusLine);
    server_ = std::make_unique<LocalServer>(port, ServerConstants::portRangeCount, router);
    installer_ = std::make_unique<HookInstaller>(AppPaths::claudeSettings(), AppPaths::hookScript(), port,
                                                 HookScriptBuilder::currentVersion);
    server_->setOnPortChange([this](std::uint16_t bound) { reactToPortChange(bound); });
    server_->start();
}

// The script talks only to the port written into it: when the server comes up
// elsewhere, an installed hook is rewritten for the new port. A hook that is
// not installed stays so; nothing is written then.
void HeadlessApp::reactToPortChange(std::uint16_t port)
{
    installer_ = std::make_unique<HookInstaller>(AppPaths::claudeSettings(), AppPaths::hookScript(), port,
                                                 HookScriptBuilder::currentVersion);
    nlohmann::json settings;
    try {
        settings = installer_->readSettings();
    } catch (const InstallError&) {
        settings = nlohmann::json::object();
    }
    if (!HookSettings::hasOwnedCapture(settings) && !HookSettings::hasOwnedStatusLine(settings))
        return;
    try {
        installer_->install();
    } catch (const std::exception&) {
        // The old script stays, with the old port.
    }
}

// The first start imports the whole history; every later one reads again what
// was modified since the last import or catch-up began, in the background.
void HeadlessApp::runHistoryImport()
{
    scan_ = std::make_shared<HistoryImport>(writer_, AppPaths::transcriptRoots());
    scanThread_ = std::thread([scan = scan_] {
        const bool catchUp = QSettings("tallyglass", "tallyglass").value(HistoryImport::firstScanDoneKey, false).toBool();
        const std::string what = catchUp ? "catch-up" : "history import";
        auto lastReport = std::chrono::steady_clock::now();
        const auto progress = [&](std::int64_t done, std::int64_t total) {
            const auto now = std::chrono::steady_clock::now();
            if (done == 0 || done == total || now - lastReport >= std::chrono::seconds(1)) {
                lastReport = now;
                Log::print(what + ": " + std::to_string(done) + " of " + std::to_string(total) + " files");
            }
        };
        try {
            scan->scanAll(progress);
            const auto stats = scan->statistics();
            Log::print(what + (scan->stoppedEarly() ? " stopped: " : " done: ") + std::to_string(stats.files) + " files ("
                       + std::to_string(stats.bytes / 1'000'000) + " MB), " + std::to_string(stats.messagesRead)
                       + " messages read");
        } catch (const std::exception& error) {
            Log::line(what + " failed: " + error.what());
        }
    });
}

void HeadlessApp::shutDown()
{
    if (server_)
        server_->stop(); // no restart after this, even from a pending back-off
    if (scan_)
        scan_->requestStop();
    if (scanThread_.joinable())
        scanThread_.join();
    server_.reset();     // waits for handlers in flight
    if (capture_)
        capture_->stop(); // reads in progress finish; the next start catches up with the rest
    capture_.reset();
    scan_.reset();
    writer_.reset();     // finishes the write in progress, closes the file
}

} // namespace tallyglass
