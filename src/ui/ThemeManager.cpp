#include "ui/ThemeManager.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusVariant>
#include <QPalette>
#include <QWidget>

namespace tallyglass {

namespace {

constexpr const char* themedRootProperty = "tallyglass.themedRoot";
constexpr const char* portalService = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* portalInterface = "org.freedesktop.portal.Settings";

QColor toQColor(const Rgba& c)
{
    return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b), static_cast<float>(c.a));
}

// The portal's "color-scheme": 1 prefers dark, 2 prefers light, 0 no preference.
std::optional<bool> portalScheme()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusInterface settings(portalService, portalPath, portalInterface, bus);
    if (!settings.isValid())
        return std::nullopt;
    settings.setTimeout(500);
    QDBusReply<QDBusVariant> reply = settings.call("ReadOne", "org.freedesktop.appearance", "color-scheme");
    QVariant value;
    if (reply.isValid()) {
        value = reply.value().variant();
    } else {
        // Older portals have only Read, which wraps the value once more.
        QDBusReply<QDBusVariant> old = settings.call("Read", "org.freedesktop.appearance", "color-scheme");
        if (!old.isValid())
            return std::nullopt;
        value = old.value().variant();
        if (value.canConvert<QDBusVariant>())
            value = value.value<QDBusVariant>().variant();
    }
    bool ok = false;
    const uint scheme = value.toUInt(&ok);
    if (!ok || scheme == 0)
        return std::nullopt;
    return scheme == 1;
}

// Standard widgets (menus, buttons, fields) follow the appearance too.
QPalette applicationPalette(const Palette& p, bool dark)
{
    QPalette palette;
    const QColor window = toQColor(dark ? Rgba{0.12, 0.12, 0.15} : p.background);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::Base, toQColor(dark ? Rgba{0.08, 0.08, 0.11} : NamedColor::white));
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Button, toQColor(dark ? Rgba{0.18, 0.18, 0.22} : Rgba{0.93, 0.93, 0.95}));
    for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::ToolTipText})
        palette.setColor(role, toQColor(p.textPrimary.withOpacity(1)));
    palette.setColor(QPalette::PlaceholderText, toQColor(p.textMuted));
    palette.setColor(QPalette::ToolTipBase, toQColor(p.tooltipBackground.withOpacity(1)));
    palette.setColor(QPalette::Highlight, toQColor(p.accent));
    palette.setColor(QPalette::HighlightedText, toQColor(p.onAccent));
    palette.setColor(QPalette::Link, toQColor(p.accent));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, toQColor(p.textSubtle));
    palette.setColor(QPalette::Disabled, QPalette::Text, toQColor(p.textSubtle));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, toQColor(p.textSubtle));
    return palette;
}

} // namespace

ThemeManager& ThemeManager::shared()
{
    static ThemeManager* instance = new ThemeManager(); // lives as long as the application
    return *instance;
}

ThemeManager::ThemeManager()
    : schemeSource_(portalScheme)
{
    // The platform's own palette, before ours replaces it: the fallback for "system".
    platformWasDark_ = QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
    listenToPortal();
}

void ThemeManager::listenToPortal()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    bus.connect(portalService, portalPath, portalInterface, "SettingChanged", this, SLOT(apply()));
}

ThemePreference ThemeManager::preference() const
{
    return Preferences::shared().theme();
}

void ThemeManager::setPreference(ThemePreference preference)
{
    Preferences::shared().setTheme(preference);
    apply();
}

void ThemeManager::setSchemeSource(SchemeSource source)
{
    schemeSource_ = std::move(source);
}

void ThemeManager::apply()
{
    if (!QCoreApplication::instance())
        return;
    bool dark = platformWasDark_;
    switch (preference()) {
    case ThemePreference::dark: dark = true; break;
    case ThemePreference::light: dark = false; break;
    case ThemePreference::system:
        if (const auto scheme = schemeSource_ ? schemeSource_() : std::nullopt)
            dark = *scheme;
        break;
    }
    const bool changed = dark != dark_;
    dark_ = dark;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::setPalette(applicationPalette(palette(), dark_));
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window->property(themedRootProperty).toBool())
            window->update();
    }
    if (changed)
        emit appearanceChanged();
}

void ThemeManager::makeThemedRoot(QWidget* window)
{
    window->setProperty(themedRootProperty, true);
    QObject::connect(&shared(), &ThemeManager::appearanceChanged, window, [window] {
        window->update();
        for (QWidget* child : window->findChildren<QWidget*>())
            child->update();
    });
}

const Palette& paletteFor(const QWidget* widget)
{
    for (const QWidget* w = widget; w; w = w->parentWidget()) {
        if (w->property(themedRootProperty).toBool())
            return ThemeManager::shared().palette();
    }
    return Palette::dark();
}

} // namespace tallyglass
