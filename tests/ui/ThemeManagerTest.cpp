#include "ui/ThemeManager.h"

#include "storage/Preferences.h"
#include "support/WidgetTestApp.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

class ThemeManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::widgetApp();
        Preferences::shared().resetForTests();
        ThemeManager::shared().setSchemeSource([this] { return desktopDark; });
    }

    std::optional<bool> desktopDark;
};

TEST_F(ThemeManagerTest, thePreferenceDecidesTheAppearanceAndSystemFollowsTheDesktop)
{
    struct Case {
        const char* stored; // nullptr: nothing stored
        std::optional<bool> desktop;
        bool dark;
    };
    const Case cases[] = {
        {"dark", false, true},  {"light", true, false}, {"system", true, true}, {"system", false, false},
        {nullptr, true, true},  {nullptr, false, false}, {"Dark", false, false}, // not a stored text: the desktop decides
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "<none>");
        if (c.stored)
            Preferences::shared().storeTextForTests(Preferences::Key::theme, c.stored);
        else
            Preferences::shared().resetForTests();
        desktopDark = c.desktop;
        ThemeManager::shared().apply();
        EXPECT_EQ(ThemeManager::shared().isDark(), c.dark);
    }
}

TEST_F(ThemeManagerTest, aChangedPreferenceRecoloursEveryThemedWindowAndIsStored)
{
    QWidget report;
    QWidget settingsWindow;
    QWidget child(&report);
    QWidget stray;
    ThemeManager::makeThemedRoot(&report);
    ThemeManager::makeThemedRoot(&settingsWindow);

    ThemeManager::shared().setPreference(ThemePreference::dark);
    EXPECT_EQ(paletteFor(&child).background, (Rgba{0.04, 0.04, 0.07}));
    int changes = 0;
    QObject::connect(&ThemeManager::shared(), &ThemeManager::appearanceChanged, [&] { ++changes; });
    ThemeManager::shared().setPreference(ThemePreference::light);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(paletteFor(&child).background, (Rgba{0.98, 0.98, 0.98}));
    EXPECT_EQ(paletteFor(&settingsWindow), Palette::light());
    EXPECT_EQ(paletteFor(&stray), Palette::dark()); // outside any themed root
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::theme), "light");
}

} // namespace
} // namespace tallyglass
