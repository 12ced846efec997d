#include "ui/MotionPreference.h"

#include "support/WidgetTestApp.h"

#include <QDBusVariant>

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

constexpr const char* appearance = "org.freedesktop.appearance";
constexpr const char* gnome = "org.gnome.desktop.interface";

class MotionPreferenceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::widgetApp();
        qunsetenv(MotionPreference::overrideVariable);
    }
    void TearDown() override { qunsetenv(MotionPreference::overrideVariable); }
};

TEST_F(MotionPreferenceTest, eitherDesktopSettingAsksForStillnessAndOnlyAChangeIsAnnounced)
{
    struct Step {
        const char* group;
        const char* key;
        QVariant value;
        bool reduced;
        bool announced;
    };
    // As the portal reads them (a variant in a variant) and as it signals them.
    const auto wrapped = [](QVariant value) { return QVariant::fromValue(QDBusVariant(value)); };
    const std::vector<Step> steps = {
        {appearance, "color-scheme", 1u, false, false},
        {appearance, "reduced-motion", wrapped(1u), true, true},
        {gnome, "enable-animations", false, true, false}, // already still
        {appearance, "reduced-motion", 0u, true, false},  // GNOME still says no animations
        {gnome, "enable-animations", wrapped(wrapped(true)), false, true},
        {gnome, "enable-animations", wrapped(false), true, true},
        {gnome, "cursor-blink", false, true, false},
        {gnome, "enable-animations", true, false, true},
    };
    MotionPreference preference;
    int announced = 0;
    QObject::connect(&preference, &MotionPreference::changed, [&] { ++announced; });
    EXPECT_FALSE(preference.reduced());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        const int before = announced;
        preference.settingChanged(steps[i].group, steps[i].key, steps[i].value);
        EXPECT_EQ(preference.reduced(), steps[i].reduced);
        EXPECT_EQ(announced - before, steps[i].announced ? 1 : 0);
    }
}

TEST_F(MotionPreferenceTest, theEnvironmentDecidesOverTheDesktop)
{
    for (const auto& [value, reduced] : {std::pair{"1", true}, {"0", false}}) {
        SCOPED_TRACE(value);
        qputenv(MotionPreference::overrideVariable, value);
        MotionPreference preference;
        EXPECT_EQ(preference.reduced(), reduced);
        preference.settingChanged(gnome, "enable-animations", reduced);
        preference.settingChanged(appearance, "reduced-motion", reduced ? 0u : 1u);
        EXPECT_EQ(preference.reduced(), reduced);
    }
}

} // namespace
} // namespace tallyglass
