#include "app/CoreServices.h"

#include "app/AppPaths.h"
#include "capture/CaptureService.h"
#include "capture/HistoryImport.h"
#include "capture/ImportService.h"
#include "capture/StatusLineService.h"
#include "capture/TranscriptMarks.h"
#include "core/Log.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "hook/HookSettings.h"
#include "pricing/PriceFileWatcher.h"
#include "server/HookRouter.h"
#include "server/ListenAddress.h"
#include "server/LocalServer.h"
#include "server/OtlpToken.h"
#include "server/ServerConstants.h"
#include "server/TelemetryIntake.h"
#include "server/UsageSender.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

namespace tallyglass {

namespace {

WriteDatabase::Options writerNaming(std::string machineName)
{
    WriteDatabase::Options options;
    options.machineName = std::move(machineName);
    return options;
}

} // namespace

CoreServices::CoreServices(std::string machineName)
    : writer_(std::make_shared<WriteDatabase>(AppPaths::database(), writerNaming(std::move(machineName))))
    , marks_(std::make_shared<TranscriptMarks>())
{
    // The file was read at the start (main); a change from now on prices the stored messages again.
    prices_ = std::make_unique<PriceFileWatcher>(AppPaths::priceFile(), AppPaths::shown(AppPaths::priceFile()),
                                                 [writer = std::weak_ptr(writer_)] {
                                                     if (const auto alive = writer.lock())
                                                         alive->priceAgain();
                                                 });
    imports_ = std::make_unique<ImportService>(std::make_shared<HistoryImport>(writer_, AppPaths::transcriptRoots(), marks_));
    imports_->runAfterPauses(std::chrono::seconds(5), std::chrono::seconds(5));
    // The marks in memory describe the file they were read from; a new file
    // has its own (or none), and the history is imported into it when it has none.
    writer_->setOnReopened([this] {
        marks_->invalidate();
        imports_->run();
    });
    try {
        writer_->cleanupStaleActiveSessions(86'400);
    } catch (const std::exception&) {
        // A stale active mark only colours a session; start-up goes on.
    }
}

CoreServices::~CoreServices()
{
    stop();
}

void CoreServices::startServer(std::function<void(std::uint16_t)> listening)
{
    listening_ = std::move(listening);
    const std::uint16_t port = ServerConstants::resolvedPort();
    capture_ = std::make_shared<CaptureService>(writer_, CaptureService::Options{}, marks_);
    capture_->setStoreObserver(storeObserver_);
    auto statusLine = std::make_shared<StatusLineService>(writer_, StatusLineService::Clock{}, limitObserver_);
    auto router = std::make_shared<HookRouter>(capture_, statusLine);
    const LocalServer::PortRange range{ServerConstants::defaultPort, ServerConstants::portRangeCount};
    server_ = std::make_unique<LocalServer>(range, port, router);
    // Sessions known only by telemetry have no end event: they are stored as inactive ones.
    // Another instance's messages of this very machine are already here: the intake leaves them out.
    server_->setTelemetry(std::make_shared<TelemetryIntake>(wallClockNow, writer_->machineName()),
                          [writer = writer_](const std::vector<MessageInsert>& messages) {
                              writer->insertBackfillMessages(messages);
                          });
    installer_ = std::make_unique<HookInstaller>(AppPaths::claudeSettings(), AppPaths::hookScript(), port,
                                                 HookScriptBuilder::currentVersion);
    // A status line chained by an earlier version splits the user's command at
    // its first ";" or "|": rewritten now, it works from the next redraw.
    try {
        if (HookSettings::hasOldChainedStatusLine(installer_->readSettings()))
            installer_->install();
    } catch (const std::exception&) {
        // It stays as it was; "tallyglass hook install" says why.
    }
    // Every coming up is told, not only a move: the server binds on its own
    // thread after this returns, so whoever asked for the port before it was
    // bound (the tray's menu) has only this to learn it.
    server_->setOnListening([this](std::uint16_t bound) {
        keepHookOnPort(bound);
        if (listening_)
            listening_(bound);
    });
    server_->start();
}

bool CoreServices::listenForOtherMachines(const std::string& address)
{
    if (!server_)
        return false;
    if (address.empty())
        return server_->listenOuter(std::nullopt, {});
    const auto where = ListenAddress::parse(address);
    if (!where) {
        Log::line("not listening for other machines: '" + address
                  + "' is no ADDR:PORT with a numeric address, such as 0.0.0.0:4318 or [::]:4318");
        server_->listenOuter(std::nullopt, {});
        return false;
    }
    // The token is made only now: a user who never opens the port has no secret lying about.
    const auto token = OtlpToken::ensure(AppPaths::otlpToken(), AppPaths::shown(AppPaths::otlpToken()));
    if (token.token.empty()) {
        Log::line("not listening for other machines: " + token.problem);
        server_->listenOuter(std::nullopt, {});
        return false;
    }
    if (token.created)
        Log::print("made the token other machines' exports must carry: " + AppPaths::shown(AppPaths::otlpToken()));
    return server_->listenOuter(where, token.token);
}

// The script talks only to the port written into it, and that port can be
// another than the server's even when the server did not move: the script may
// have been written while another instance ran elsewhere, or by a version
// whose port search left the range a start accepts. So every time the server
// comes up, an installed hook whose script is not for this port (or this
// version) is installed again. A hook that is not installed stays so; nothing
// is written then.
void CoreServices::keepHookOnPort(std::uint16_t port)
{
    installer_ = std::make_unique<HookInstaller>(AppPaths::claudeSettings(), AppPaths::hookScript(), port,
                                                 HookScriptBuilder::currentVersion);
    if (!installer_->isInstalled() || installer_->isScriptCurrent())
        return;
    try {
        installer_->install();
    } catch (const std::exception&) {
        // The old script stays, with the old port.
    }
}

void CoreServices::sendUsageTo(const std::string& endpoint)
{
    sender_.reset(); // a request in flight is dropped; its batch goes again from the mark
    if (endpoint.empty())
        return;
    sender_ = std::make_unique<UsageSender>(endpoint, writer_);
    sender_->start();
    Log::print("sending this machine's usage to " + UsageSender::shownUrl(endpoint));
}

void CoreServices::stop()
{
    sender_.reset();
    if (imports_)
        imports_->stop(); // after the file in hand; the next start goes on from the marks
    if (server_)
        server_->stop(); // no restart after this, even from a pending back-off
    server_.reset();     // waits for handlers in flight
    if (capture_)
        capture_->stop(); // reads in progress finish; the next start catches up with the rest
    capture_.reset();
}

std::vector<LimitReading> CoreServices::recentLimitReadings()
{
    const Instant now = wallClockNow();
    try {
        return DatabaseClient(AppPaths::database()).fetchLimitReadings(now - std::chrono::hours(24 * 8), now + std::chrono::hours(24));
    } catch (const std::exception&) {
        return {}; // the pace starts again from the readings to come
    }
}

} // namespace tallyglass
