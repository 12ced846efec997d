#include "ui/MotionPreference.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace tallyglass {

namespace {

constexpr const char* portalService = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* portalInterface = "org.freedesktop.portal.Settings";
constexpr const char* appearanceGroup = "org.freedesktop.appearance";
constexpr const char* gnomeGroup = "org.gnome.desktop.interface";

// The portal's Read wraps a value in a variant once more than SettingChanged does.
QVariant unwrapped(QVariant value)
{
    while (value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

std::optional<bool> fromEnvironment()
{
    const QByteArray value = qgetenv(MotionPreference::overrideVariable);
    if (value == "1")
        return true;
    if (value == "0")
        return false;
    return std::nullopt;
}

} // namespace

MotionPreference& MotionPreference::shared()
{
    static MotionPreference* instance = new MotionPreference(); // lives as long as the application
    return *instance;
}

MotionPreference::MotionPreference()
    : override_(fromEnvironment())
{
    if (override_)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(portalService, portalPath, portalInterface, "SettingChanged", this,
                SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
    readPortal(appearanceGroup, "reduced-motion");
    readPortal(gnomeGroup, "enable-animations");
}

void MotionPreference::readPortal(const QString& group, const QString& key)
{
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, portalInterface, "Read");
    call << group << key;
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, group, key](QDBusPendingCallWatcher* done) {
        const QDBusPendingReply<QDBusVariant> reply = *done;
        if (reply.isValid())
            settingChanged(group, key, reply.value().variant());
        done->deleteLater();
    });
}

void MotionPreference::portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    settingChanged(group, key, value.variant());
}

void MotionPreference::settingChanged(const QString& group, const QString& key, const QVariant& value)
{
    const bool before = reduced();
    const QVariant plain = unwrapped(value);
    if (group == appearanceGroup && key == "reduced-motion")
        appearanceReduces_ = plain.toUInt() == 1;
    else if (group == gnomeGroup && key == "enable-animations")
        gnomeReduces_ = plain.canConvert<bool>() && !plain.toBool();
    else
        return;
    if (reduced() != before)
        emit changed();
}

} // namespace tallyglass
