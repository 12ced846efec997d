#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QVariant>

#include <optional>

namespace tallyglass {

// Whether the desktop asks applications to keep still. The freedesktop
// settings portal says so with "reduced-motion" in org.freedesktop.appearance
// (1: reduce) and, on GNOME, with "enable-animations" (false); either one is
// enough. They are read once at start, without blocking it, and again
// whenever the portal reports a setting changed. TALLYGLASS_REDUCE_MOTION set
// to 1 or 0 decides instead of the desktop, for tests and for desktops that
// say nothing. Qt 6.4's style hints carry no such preference.
class MotionPreference final : public QObject {
    Q_OBJECT

public:
    static constexpr const char* overrideVariable = "TALLYGLASS_REDUCE_MOTION";

    // The application's own; the tests make theirs.
    static MotionPreference& shared();
    MotionPreference();

    bool reduced() const { return override_.value_or(appearanceReduces_ || gnomeReduces_); }

    // What the portal says one setting is; anything but the two above is
    // ignored. Public as the seam the tests speak through.
    Q_SLOT void settingChanged(const QString& group, const QString& key, const QVariant& value);

signals:
    void changed();

private:
    void readPortal(const QString& group, const QString& key);
    Q_SLOT void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

    std::optional<bool> override_;
    bool appearanceReduces_ = false;
    bool gnomeReduces_ = false;
};

} // namespace tallyglass
