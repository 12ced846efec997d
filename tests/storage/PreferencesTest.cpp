#include "storage/Preferences.h"

#include "core/WarningThresholds.h"
#include "storage/WriteDatabaseSupport.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tallyglass {
namespace {

// The settings file as a user, an older version or a script sees it.
std::string settingsFile()
{
    return test::fileText(std::filesystem::path(std::getenv("XDG_CONFIG_HOME")) / "tallyglass" / "tallyglass.conf");
}

std::string boolText(bool value)
{
    return value ? "true" : "false";
}

// A preference's value as text, so that one table can hold them all.
std::string describe(Preferences::Key key)
{
    const Preferences& p = Preferences::shared();
    using Key = Preferences::Key;
    switch (key) {
    case Key::serverPort: return p.rememberedPort() ? std::to_string(*p.rememberedPort()) : "none";
    case Key::theme: return std::string(textOf(p.theme()));
    case Key::chartIsCumulative: return boolText(p.chartIsCumulative());
    case Key::launchAtLogin: return boolText(p.launchAtLogin());
    case Key::warningsEnabled: return boolText(p.warningsEnabled());
    case Key::warningThresholds: return WarningThresholds::format(p.warningThresholds());
    case Key::warningState: return p.warningState();
    case Key::paceWarning: return boolText(p.paceWarningEnabled());
    case Key::onboardingDone: return boolText(p.onboardingDone());
    case Key::reportFrame: return p.reportFrame().toStdString();
    case Key::reportDayZone: return p.reportDaysLocal() ? "local" : "UTC";
    case Key::otlpListen: return p.otlpListen();
    case Key::machineName: return p.machineName();
    case Key::otlpEndpoint: return p.otlpEndpoint();
    }
    return "?";
}

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        Preferences::shared().resetForTests();
    }
};

// Users' files keep working: every key reads as its default until set, and a
// setter writes the file at once, under the name and in the form earlier
// versions wrote (the names and lines here are copied from such a file).
TEST_F(PreferencesTest, everyKeyRoundTripsThroughTheFileUnderItsStoredNameFromItsDefault)
{
    Preferences& p = Preferences::shared();
    using Key = Preferences::Key;
    const std::string state = R"({"fiveHour":{},"lastReadingAt":"2026-12-06T10:00:00Z"})"; // as the warnings write it
    struct Case {
        Key key;
        std::string byDefault;
        std::function<void()> set;
        std::string line;
        std::string value;
    };
    const Case cases[] = {
        {Key::serverPort, "none", [&] { p.setRememberedPort(45835); }, "tallyglass.server.port=45835", "45835"},
        {Key::theme, "system", [&] { p.setTheme(ThemePreference::light); }, "app_theme_preference=light", "light"},
        {Key::chartIsCumulative, "true", [&] { p.setChartIsCumulative(false); }, "tallyglass.chartIsCumulative=false", "false"},
        {Key::launchAtLogin, "true", [&] { p.setLaunchAtLogin(false); }, "launch_at_login_enabled=false", "false"},
        {Key::warningsEnabled, "true", [&] { p.setWarningsEnabled(false); }, "tallyglass.warnings.enabled=false", "false"},
        {Key::warningThresholds, "80, 95", [&] { p.setWarningThresholds({60, 95}); }, "tallyglass.warnings.thresholds=\"60, 95\"",
         "60, 95"},
        {Key::warningState, "", [&] { p.setWarningState(state); },
         R"(tallyglass.warnings.state="{\"fiveHour\":{},\"lastReadingAt\":\"2026-12-06T10:00:00Z\"}")", state},
        {Key::paceWarning, "true", [&] { p.setPaceWarningEnabled(false); }, "tallyglass.warnings.pace=false", "false"},
        {Key::onboardingDone, "false", [&] { p.setOnboardingDone(true); }, "tallyglass_onboarding_v1_done=true", "true"},
        {Key::reportFrame, "", [&] { p.setReportFrame("frame"); }, "tallyglass.dashboard=@ByteArray(frame)", "frame"},
        {Key::reportDayZone, "UTC", [&] { p.setReportDaysLocal(true); }, "tallyglass.dashboard.dayZone=local", "local"},
        {Key::otlpListen, "", [&] { p.setOtlpListen("[::]:4318"); }, "tallyglass.otlp.listen=[::]:4318", "[::]:4318"},
        {Key::machineName, WriteDatabaseSupport::hostName(), [&] { p.setMachineName(" buildbox "); }, "tallyglass.machine.name=buildbox",
         "buildbox"},
        {Key::otlpEndpoint, "", [&] { p.setOtlpEndpoint("http://collector:4318"); },
         "tallyglass.otlp.endpoint=http://collector:4318", "http://collector:4318"},
    };
    // A key added without a row here would go unguarded.
    ASSERT_EQ(std::size(cases), Preferences::entries().size());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Preferences::entry(c.key).key, c.key);
        p.resetForTests();
        EXPECT_EQ(describe(c.key), c.byDefault);
        c.set();
        EXPECT_NE(settingsFile().find("\n" + c.line + "\n"), std::string::npos) << settingsFile();
        EXPECT_EQ(describe(c.key), c.value);
    }
    // A file edited by hand into something that cannot be read reads as the default.
    p.storeTextForTests(Key::warningThresholds, "nonsense");
    EXPECT_EQ(describe(Key::warningThresholds), "80, 95");
}

// Views listen instead of reading again: one announcement per change, with
// the new value, and none when a setter leaves the value as it was.
TEST_F(PreferencesTest, aSetterAnnouncesEachChangeOnceAndNothingWhenTheValueStays)
{
    Preferences& p = Preferences::shared();
    std::vector<std::string> heard;
    QObject listener;
    QObject::connect(&p, &Preferences::themeChanged, &listener, [&](ThemePreference t) { heard.push_back("theme " + std::string(textOf(t))); });
    QObject::connect(&p, &Preferences::chartIsCumulativeChanged, &listener, [&](bool on) { heard.push_back("chart " + boolText(on)); });
    QObject::connect(&p, &Preferences::launchAtLoginChanged, &listener, [&](bool on) { heard.push_back("login " + boolText(on)); });
    QObject::connect(&p, &Preferences::warningsEnabledChanged, &listener, [&](bool on) { heard.push_back("warnings " + boolText(on)); });
    QObject::connect(&p, &Preferences::warningThresholdsChanged, &listener,
                     [&](const std::vector<int>& t) { heard.push_back("thresholds " + WarningThresholds::format(t)); });
    QObject::connect(&p, &Preferences::paceWarningEnabledChanged, &listener, [&](bool on) { heard.push_back("pace " + boolText(on)); });
    QObject::connect(&p, &Preferences::reportDaysLocalChanged, &listener, [&](bool on) { heard.push_back("local days " + boolText(on)); });
    QObject::connect(&p, &Preferences::otlpListenChanged, &listener, [&](const std::string& a) { heard.push_back("listen " + a); });
    QObject::connect(&p, &Preferences::machineNameChanged, &listener, [&](const std::string& name) { heard.push_back("machine " + name); });
    QObject::connect(&p, &Preferences::otlpEndpointChanged, &listener, [&](const std::string& e) { heard.push_back("send to " + e); });
    struct Case {
        const char* name;
        std::function<void()> toDefault; // the value read when nothing is stored
        std::function<void()> toOther;
        std::vector<std::string> heard;
    };
    const Case cases[] = {
        {"theme", [&] { p.setTheme(ThemePreference::system); }, [&] { p.setTheme(ThemePreference::dark); },
         {"theme dark", "theme system"}},
        {"chart", [&] { p.setChartIsCumulative(true); }, [&] { p.setChartIsCumulative(false); }, {"chart false", "chart true"}},
        {"login", [&] { p.setLaunchAtLogin(true); }, [&] { p.setLaunchAtLogin(false); }, {"login false", "login true"}},
        {"warnings", [&] { p.setWarningsEnabled(true); }, [&] { p.setWarningsEnabled(false); },
         {"warnings false", "warnings true"}},
        {"pace", [&] { p.setPaceWarningEnabled(true); }, [&] { p.setPaceWarningEnabled(false); }, {"pace false", "pace true"}},
        // Compared as they will be read: the defaults in another order are the defaults.
        {"thresholds", [&] { p.setWarningThresholds({95, 80}); }, [&] { p.setWarningThresholds({50}); },
         {"thresholds 50", "thresholds 80, 95"}},
        {"days", [&] { p.setReportDaysLocal(false); }, [&] { p.setReportDaysLocal(true); },
         {"local days true", "local days false"}},
        {"listen", [&] { p.setOtlpListen(""); }, [&] { p.setOtlpListen("0.0.0.0:4318"); },
         {"listen 0.0.0.0:4318", "listen "}},
        // A blank name is no name: the host's again.
        {"machine", [&] { p.setMachineName(" \t "); }, [&] { p.setMachineName("laptop"); },
         {"machine laptop", "machine " + WriteDatabaseSupport::hostName()}},
        {"send to", [&] { p.setOtlpEndpoint(""); }, [&] { p.setOtlpEndpoint("https://c"); }, {"send to https://c", "send to "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        p.resetForTests();
        heard.clear();
        c.toDefault();
        c.toOther();
        c.toOther();
        c.toDefault();
        EXPECT_EQ(heard, c.heard);
    }
}

} // namespace
} // namespace tallyglass
