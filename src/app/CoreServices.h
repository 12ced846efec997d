#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass {

class CaptureService;
class HookInstaller;
class ImportService;
class TranscriptMarks;
class UsageSender;
class LocalServer;
class PriceFileWatcher;
class WriteDatabase;
struct LimitReading;

// The core both the desktop application and the headless process run: the
// database writer with the user's price file watched, the history import, the local server with the capture and
// status-line services, and the hook installer for the port the server is on.
// No window depends on it being there, and it depends on no window.
class CoreServices {
public:
    // Opens the database (creating its folder and schema) and clears stale
    // active sessions. Throws when the database cannot be opened. `machineName`:
    // what this machine's own messages are stored under (Preferences::machineName).
    explicit CoreServices(std::string machineName);
    ~CoreServices();
    CoreServices(const CoreServices&) = delete;
    CoreServices& operator=(const CoreServices&) = delete;

    // Starts the server. Whenever it comes up, an installed hook whose script
    // is for another port is rewritten for the server's, and `listening` then
    // runs (on the main thread) with the port, whether or not it moved.
    void startServer(std::function<void(std::uint16_t)> listening = {});
    // Opens the listener for other machines' exports on `address` ("ADDR:PORT"),
    // making the token file the first time, or closes it when `address` is
    // empty. What stands in the way (an address that is none or cannot be
    // bound, a token file that cannot be used) is said in one log line, and
    // the listener stays closed; false then. After startServer().
    bool listenForOtherMachines(const std::string& address);
    // Told of every stored rate-limit reading, on the server's threads; set before startServer().
    void setLimitObserver(std::function<void(const LimitReading&)> observer) { limitObserver_ = std::move(observer); }
    // Told, on a capture thread, when storing captured messages starts failing
    // (with the reason) and when it works again (nothing); set before startServer().
    void setStoreObserver(std::function<void(const std::optional<std::string>&)> observer)
    {
        storeObserver_ = std::move(observer);
    }

    // The rate-limit readings of the last eight days, for the pace of the
    // windows still open; none when the database cannot be read.
    static std::vector<LimitReading> recentLimitReadings();

    // Sends this machine's messages to an OTLP collector from now on (the
    // address checked by UsageSender::endpointProblem), in place of any it
    // sent to before; an empty address stops the sending.
    void sendUsageTo(const std::string& endpoint);

    // No restart after this; handlers in flight finish, reads in progress too.
    void stop();

    const std::shared_ptr<WriteDatabase>& writer() const { return writer_; }
    // How far each transcript was read, shared by capture and the imports.
    const std::shared_ptr<TranscriptMarks>& marks() const { return marks_; }
    // The history import (the whole history the first time, what changed
    // afterwards); run again by itself when the database was replaced.
    ImportService& imports() const { return *imports_; }
    const LocalServer* server() const { return server_.get(); }
    // The installer for the port the server is on (replaced on every port change).
    HookInstaller& installer() const { return *installer_; }

private:
    void keepHookOnPort(std::uint16_t port);

    std::shared_ptr<WriteDatabase> writer_;
    std::unique_ptr<PriceFileWatcher> prices_;
    std::shared_ptr<TranscriptMarks> marks_;
    std::unique_ptr<ImportService> imports_;
    std::shared_ptr<CaptureService> capture_;
    std::unique_ptr<LocalServer> server_;
    std::unique_ptr<HookInstaller> installer_;
    std::unique_ptr<UsageSender> sender_;
    std::function<void(std::uint16_t)> listening_;
    std::function<void(const LimitReading&)> limitObserver_;
    std::function<void(const std::optional<std::string>&)> storeObserver_;
};

} // namespace tallyglass
