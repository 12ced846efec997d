#pragma once

#include "storage/Preferences.h"
#include "ui/Palette.h"

#include <QObject>

#include <functional>
#include <optional>

class QWidget;

namespace tallyglass {

// Which appearance the application draws with: the stored preference (system,
// dark or light) applied to the whole application, "system" following the
// desktop's colour scheme as the freedesktop settings portal reports it (the
// lightness of the platform's palette where there is no portal). Every window
// of ours is a themed root: it draws with the palette of the effective
// appearance and is repainted the moment it changes.
class ThemeManager final : public QObject {
    Q_OBJECT

public:
    // The desktop's scheme: true dark, false light, nothing when it has no preference.
    using SchemeSource = std::function<std::optional<bool>()>;

    static ThemeManager& shared();

    ThemePreference preference() const;
    // Stores the preference and applies it at once.
    void setPreference(ThemePreference preference);
    // Works out the effective appearance again and recolours every themed window.
    Q_SLOT void apply();

    bool isDark() const { return dark_; }
    const Palette& palette() const { return dark_ ? Palette::dark() : Palette::light(); }

    // A seam for tests: where the desktop's scheme comes from.
    void setSchemeSource(SchemeSource source);

    // Makes a window a themed root: it and everything in it use palette().
    static void makeThemedRoot(QWidget* window);

signals:
    void appearanceChanged();

private:
    ThemeManager();
    void listenToPortal();

    SchemeSource schemeSource_;
    bool dark_ = true;
    bool platformWasDark_ = true;
};

// The palette a widget draws with: that of the effective appearance inside a
// themed root, the dark palette outside any.
const Palette& paletteFor(const QWidget* widget);

} // namespace tallyglass
