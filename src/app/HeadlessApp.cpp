#include "app/HeadlessApp.h"

#include "app/AppPaths.h"
#include "app/StopSignals.h"
#include "capture/CaptureService.h"
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

namespace {

constexpr const char* firstScanDoneKey = "tallyglass_first_scan_done";
constexpr std::int64_t scanBatchSize = 500;

} // namespace

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
    maybeRunFirstScan();
    app.exec();
    shutDown();
    return 0;
}

void HeadlessApp::setupServer()
{
    const std::uint16_t port = ServerConstants::resolvedPort();
    auto capture = std::make_shared<CaptureService>(writer_, 400, 50);
    auto statusLine = std::make_shared<StatusLineService>(writer_);
    auto router = std::make_shared<HookRouter>(capture, statusLine);
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

void HeadlessApp::maybeRunFirstScan()
{
    if (QSettings("tallyglass", "tallyglass").value(firstScanDoneKey, false).toBool())
        return;
    scan_ = std::make_shared<ScanService>(writer_, AppPaths::transcriptRoots(), scanBatchSize);
    scanThread_ = std::thread([scan = scan_] {
        auto lastReport = std::chrono::steady_clock::now();
        const auto progress = [&](std::int64_t done, std::int64_t total) {
            const auto now = std::chrono::steady_clock::now();
            if (done == 0 || done == total || now - lastReport >= std::chrono::seconds(1)) {
                lastReport = now;
                Log::print("history import: " + std::to_string(done) + " of " + std::to_string(total) + " files");
            }
        };
        bool interrupted = false;
        try {
            scan->scanAll(progress);
            interrupted = scan->stoppedEarly();
            Log::print(std::string(interrupted ? "history import stopped: " : "history import done: ")
                       + std::to_string(scan->statistics().messagesRead) + " messages read");
        } catch (const std::exception& error) {
            Log::line(std::string("history import failed: ") + error.what());
        }
        // A failed import is not retried at the next start; one cut short by shutdown is.
        if (!interrupted) {
            QSettings settings("tallyglass", "tallyglass");
            settings.setValue(firstScanDoneKey, true);
            settings.sync();
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
    server_.reset();     // waits for handlers in flight, so their writes finish
    scan_.reset();
    writer_.reset();     // finishes the write in progress, closes the file
}

} // namespace tallyglass
