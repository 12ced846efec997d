#pragma once

#include <QObject>

#include <chrono>
#include <filesystem>
#include <functional>

class QLocalServer;

namespace tallyglass {

// How a second start of the desktop application reaches the first: the first
// listens on a local socket of its user's, and the second asks it there to
// bring its Full Report forward, then ends. The socket is the user's alone:
// it lives in $XDG_RUNTIME_DIR (the user's private runtime folder) or, without
// one, in a folder of the configuration only its owner may enter, and the
// socket itself is owner-only.
class ActivationChannel final : public QObject {
public:
    // Listens at `path`; `onShowReport` runs on this object's thread for each
    // request. A socket left by a process that ended is replaced; one that a
    // running process answers on is never taken from it (then nothing listens
    // here, and one line says why).
    ActivationChannel(std::filesystem::path path, std::function<void()> onShowReport, QObject* parent = nullptr);
    ~ActivationChannel() override;

    bool isListening() const;

    // This user's socket: $XDG_RUNTIME_DIR/tallyglass.socket, else
    // ~/.config/tallyglass/run/tallyglass.socket.
    static std::filesystem::path defaultPath();
    // Asks the process listening at `path` to show its Full Report; true once
    // it has said it will, false when nobody answers within `timeout`.
    static bool requestShowReport(const std::filesystem::path& path, std::chrono::milliseconds timeout);

private:
    void answer();

    std::filesystem::path path_;
    std::function<void()> onShowReport_;
    QLocalServer* server_ = nullptr;
};

} // namespace tallyglass
