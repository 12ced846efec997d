#include "app/Notifications.h"

#include "core/Log.h"
#include "core/ThreadHandoff.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace tallyglass {

Notifications::Notifications(TrayMessage tray, QObject* parent)
    : QObject(parent)
    , tray_(std::move(tray))
{
}

void Notifications::show(const std::string& text)
{
    const QString message = QString::fromStdString(text);
    QMetaObject::invokeMethod(this, handedOff([this, message] { notify(message); }), Qt::QueuedConnection);
}

void Notifications::notify(const QString& text)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallBack(text);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                                       "org.freedesktop.Notifications", "Notify");
    call << QString("Tallyglass") << 0u << QString("tallyglass") << QString(title) << text << QStringList()
         << QVariantMap{{"urgency", QVariant::fromValue<uchar>(1)}, {"desktop-entry", QString("tallyglass")}} << -1;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, text](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<uint> reply = *done;
        if (reply.isError())
            fallBack(text);
        done->deleteLater();
    });
}

void Notifications::fallBack(const QString& text)
{
    if (tray_ && tray_(title, text))
        return;
    Log::line("warning: " + text.toStdString());
}

} // namespace tallyglass
