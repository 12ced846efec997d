#include "storage/Preferences.h"

#include "core/WarningThresholds.h"
#include "storage/WriteDatabaseSupport.h"

#include <QCoreApplication>
#include <QSettings>

#include <cassert>
#include <stdexcept>

namespace tallyglass {

namespace {

// Named here rather than taken from the application, so that a command run
// before (or without) the application object reads the same file.
constexpr const char* organisation = "tallyglass";
constexpr const char* application = "tallyglass";

QString qtext(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The names are those earlier versions stored, in the three styles they came
// in; they stay as they are, or users' files would be forgotten.
const Preferences::Entry table[] = {
    {Preferences::Key::serverPort, "tallyglass.server.port", {}},
    {Preferences::Key::theme, "app_theme_preference", QString("system")},
    {Preferences::Key::chartIsCumulative, "tallyglass.chartIsCumulative", true},
    {Preferences::Key::launchAtLogin, "launch_at_login_enabled", true},
    {Preferences::Key::warningsEnabled, "tallyglass.warnings.enabled", true},
    {Preferences::Key::warningThresholds, "tallyglass.warnings.thresholds", qtext(WarningThresholds::defaults)},
    {Preferences::Key::warningState, "tallyglass.warnings.state", QString()},
    {Preferences::Key::paceWarning, "tallyglass.warnings.pace", true},
    {Preferences::Key::onboardingDone, "tallyglass_onboarding_v1_done", false},
    {Preferences::Key::reportFrame, "tallyglass.dashboard", QByteArray()},
    {Preferences::Key::reportDayZone, "tallyglass.dashboard.dayZone", QString("UTC")},
    {Preferences::Key::otlpListen, "tallyglass.otlp.listen", QString()},
    {Preferences::Key::machineName, "tallyglass.machine.name", QString()},
    {Preferences::Key::otlpEndpoint, "tallyglass.otlp.endpoint", QString()},
};

QVariant read(Preferences::Key key)
{
    const Preferences::Entry& entry = Preferences::entry(key);
    return QSettings(organisation, application).value(entry.name, entry.fallback);
}

// Written through at once: another process (a `tallyglass hook` command, the
// next start) reads the file, not this one's memory.
void write(Preferences::Key key, const QVariant& value)
{
    QSettings settings(organisation, application);
    settings.setValue(Preferences::entry(key).name, value);
    settings.sync();
}

} // namespace

std::string_view textOf(ThemePreference preference)
{
    switch (preference) {
    case ThemePreference::dark: return "dark";
    case ThemePreference::light: return "light";
    case ThemePreference::system: break;
    }
    return "system";
}

ThemePreference themePreferenceFromText(std::string_view text)
{
    if (text == "dark")
        return ThemePreference::dark;
    if (text == "light")
        return ThemePreference::light;
    return ThemePreference::system;
}

std::span<const Preferences::Entry> Preferences::entries()
{
    return table;
}

const Preferences::Entry& Preferences::entry(Key key)
{
    const Entry& found = table[static_cast<std::size_t>(key)];
    assert(found.key == key && "the table of keys follows the enumeration");
    return found;
}

Preferences& Preferences::shared()
{
    static Preferences* instance = [] {
        auto* created = new Preferences(); // lives as long as the program
        // Made on whichever thread asked first; listeners connected without a
        // context object are called on the application's thread.
        if (const QCoreApplication* app = QCoreApplication::instance(); app && created->thread() != app->thread())
            created->moveToThread(app->thread());
        return created;
    }();
    return *instance;
}

std::optional<int> Preferences::rememberedPort() const
{
    bool ok = false;
    const int stored = read(Key::serverPort).toInt(&ok);
    return ok ? std::optional<int>(stored) : std::nullopt;
}

void Preferences::setRememberedPort(int port)
{
    write(Key::serverPort, port);
}

ThemePreference Preferences::theme() const
{
    return themePreferenceFromText(read(Key::theme).toString().toStdString());
}

void Preferences::setTheme(ThemePreference theme)
{
    const ThemePreference before = this->theme();
    write(Key::theme, qtext(textOf(theme)));
    if (theme != before)
        emit themeChanged(theme);
}

bool Preferences::chartIsCumulative() const
{
    return read(Key::chartIsCumulative).toBool();
}

void Preferences::setChartIsCumulative(bool cumulative)
{
    const bool before = chartIsCumulative();
    write(Key::chartIsCumulative, cumulative);
    if (cumulative != before)
        emit chartIsCumulativeChanged(cumulative);
}

bool Preferences::launchAtLogin() const
{
    return read(Key::launchAtLogin).toBool();
}

void Preferences::setLaunchAtLogin(bool enabled)
{
    const bool before = launchAtLogin();
    write(Key::launchAtLogin, enabled);
    if (enabled != before)
        emit launchAtLoginChanged(enabled);
}

bool Preferences::warningsEnabled() const
{
    return read(Key::warningsEnabled).toBool();
}

void Preferences::setWarningsEnabled(bool enabled)
{
    const bool before = warningsEnabled();
    write(Key::warningsEnabled, enabled);
    if (enabled != before)
        emit warningsEnabledChanged(enabled);
}

bool Preferences::paceWarningEnabled() const
{
    return read(Key::paceWarning).toBool();
}

void Preferences::setPaceWarningEnabled(bool enabled)
{
    const bool before = paceWarningEnabled();
    write(Key::paceWarning, enabled);
    if (enabled != before)
        emit paceWarningEnabledChanged(enabled);
}

std::vector<int> Preferences::warningThresholds() const
{
    try {
        return WarningThresholds::parse(read(Key::warningThresholds).toString().toStdString());
    } catch (const std::invalid_argument&) {
        // Edited by hand into something else (or emptied): the defaults.
        return WarningThresholds::parse(WarningThresholds::defaults);
    }
}

void Preferences::setWarningThresholds(const std::vector<int>& thresholds)
{
    const std::vector<int> before = warningThresholds();
    write(Key::warningThresholds, QString::fromStdString(WarningThresholds::format(thresholds)));
    // Compared as read back: the same percentages in another order are no change.
    if (const std::vector<int> after = warningThresholds(); after != before)
        emit warningThresholdsChanged(after);
}

std::string Preferences::warningState() const
{
    return read(Key::warningState).toString().toStdString();
}

void Preferences::setWarningState(const std::string& state)
{
    write(Key::warningState, QString::fromStdString(state));
}

bool Preferences::onboardingDone() const
{
    return read(Key::onboardingDone).toBool();
}

void Preferences::setOnboardingDone(bool done)
{
    write(Key::onboardingDone, done);
}

QByteArray Preferences::reportFrame() const
{
    return read(Key::reportFrame).toByteArray();
}

void Preferences::setReportFrame(const QByteArray& frame)
{
    write(Key::reportFrame, frame);
}

bool Preferences::reportDaysLocal() const
{
    return read(Key::reportDayZone).toString() == "local";
}

void Preferences::setReportDaysLocal(bool local)
{
    const bool before = reportDaysLocal();
    write(Key::reportDayZone, QString(local ? "local" : "UTC"));
    if (local != before)
        emit reportDaysLocalChanged(local);
}

std::string Preferences::otlpListen() const
{
    return read(Key::otlpListen).toString().trimmed().toStdString();
}

void Preferences::setOtlpListen(const std::string& address)
{
    const std::string before = otlpListen();
    write(Key::otlpListen, QString::fromStdString(address));
    if (const std::string after = otlpListen(); after != before)
        emit otlpListenChanged(after);
}

std::string Preferences::machineName() const
{
    const QString chosen = read(Key::machineName).toString().trimmed();
    return chosen.isEmpty() ? WriteDatabaseSupport::hostName() : chosen.toStdString();
}

void Preferences::setMachineName(const std::string& name)
{
    const std::string before = machineName();
    write(Key::machineName, qtext(name).trimmed());
    const std::string after = machineName();
    if (after != before)
        emit machineNameChanged(after);
}

std::string Preferences::otlpEndpoint() const
{
    return read(Key::otlpEndpoint).toString().trimmed().toStdString();
}

void Preferences::setOtlpEndpoint(const std::string& endpoint)
{
    const std::string before = otlpEndpoint();
    write(Key::otlpEndpoint, QString::fromStdString(endpoint).trimmed());
    if (const std::string after = otlpEndpoint(); after != before)
        emit otlpEndpointChanged(after);
}

void Preferences::resetForTests()
{
    QSettings settings(organisation, application);
    settings.clear();
    settings.sync();
}

std::optional<QString> Preferences::storedTextForTests(Key key) const
{
    const QVariant stored = QSettings(organisation, application).value(entry(key).name);
    return stored.isValid() ? std::optional<QString>(stored.toString()) : std::nullopt;
}

void Preferences::storeTextForTests(Key key, const QString& text)
{
    write(key, text);
}

} // namespace tallyglass
