#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <string>

namespace tallyglass {

// Desktop notifications through the freedesktop service on the session bus
// (org.freedesktop.Notifications). Where it is missing or answers an error,
// the tray's message; where there is no tray either, one log line. Nothing
// waits for the service.
class Notifications final : public QObject {
public:
    static constexpr const char* title = "Claude Code usage";

    // Shows a message from the tray; false when there is no tray.
    using TrayMessage = std::function<bool(const QString& title, const QString& text)>;

    explicit Notifications(TrayMessage tray, QObject* parent = nullptr);

    // From any thread: shown from this object's thread.
    void show(const std::string& text);

private:
    void notify(const QString& text);
    void fallBack(const QString& text);

    TrayMessage tray_;
};

} // namespace tallyglass
