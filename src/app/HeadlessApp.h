#pragma once

#include "app/HeadlessOptions.h"

#include <chrono>
#include <cstdint>
#include <memory>

class QCoreApplication;

namespace tallyglass {

class CoreServices;
class LimitWatcher;

// Everything but the windows: opens the database, clears stale active
// sessions, runs the local server with the capture and status-line services,
// rewrites an installed hook when the server comes up on another port,
// imports the transcript history once, and at every later start catches up
// with what changed while it was not running, sends this machine's usage
// where --otlp-endpoint (or else the settings) says and, when asked, also takes
// other machines' exports on a second listener. SIGINT and SIGTERM end it
// cleanly.
class HeadlessApp {
public:
    explicit HeadlessApp(HeadlessOptions options = {});
    ~HeadlessApp();

    // Runs until a stop signal; returns the process's exit status.
    int run(QCoreApplication& app);

private:
    void runHistoryImport();
    void shutDown();

    const HeadlessOptions options_;
    std::unique_ptr<LimitWatcher> limits_; // before the core: it outlives the server that feeds it
    std::unique_ptr<CoreServices> core_;
    std::chrono::steady_clock::time_point lastProgressLine_;
};

} // namespace tallyglass
