#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariant>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass {

// The appearance the user chose, stored as "system", "dark" or "light".
enum class ThemePreference { system, dark, light };

// The stored texts; anything else is no preference.
std::string_view textOf(ThemePreference preference);
ThemePreference themePreferenceFromText(std::string_view text);

// Everything the program remembers between runs that is not usage data: each
// preference's key in the settings file (~/.config/tallyglass/tallyglass.conf,
// under $XDG_CONFIG_HOME when that is set), its type and its default. The rest
// of the program asks this class and never opens the file itself.
//
// The keys and the text stored under them are those earlier versions wrote, so
// a user's file keeps working; renaming one forgets what was chosen. Every
// call reads or writes the file through a settings object of its own, which Qt
// allows from any thread at once: the limit warnings and the server remember
// what they need from their own threads. A setter writes the file before it
// returns, and announces the change (on the caller's thread) only when the
// value read back differs from the one before.
//
// It sits with the storage, below the folders that use it, and so holds
// nothing of theirs: the appearance is typed here, the warnings' record is
// kept as the text they write.
class Preferences final : public QObject {
    Q_OBJECT

public:
    // Every preference there is. Each has one row in the table of keys
    // (Preferences.cpp): its name in the file and what it reads as when the
    // file has nothing under that name.
    enum class Key {
        serverPort,
        theme,
        chartIsCumulative,
        launchAtLogin,
        warningsEnabled,
        warningThresholds,
        warningState,
        paceWarning,
        onboardingDone,
        reportFrame,
        reportDayZone,
        otlpListen,
        machineName,
        otlpEndpoint,
    };
    struct Entry {
        Key key;
        const char* name;
        QVariant fallback; // invalid: nothing
    };
    // The table of keys, in the order of the enumeration.
    static std::span<const Entry> entries();
    static const Entry& entry(Key key);

    // The one instance, living on the application's thread.
    static Preferences& shared();

    // The port the server moved to when its first choice was taken; nothing
    // when none is stored or it is not a number (the range is the server's to check).
    std::optional<int> rememberedPort() const;
    void setRememberedPort(int port);

    // "system" unless another is stored.
    ThemePreference theme() const;
    void setTheme(ThemePreference theme);

    // The card's chart: the cumulative line unless the bars were chosen.
    bool chartIsCumulative() const;
    void setChartIsCumulative(bool cumulative);

    // On unless the user turned it off.
    bool launchAtLogin() const;
    void setLaunchAtLogin(bool enabled);

    // The limit warnings: on unless turned off, at the stored percentages
    // (WarningThresholds), or at the defaults when none are stored or the
    // text was edited by hand into something else.
    bool warningsEnabled() const;
    void setWarningsEnabled(bool enabled);
    std::vector<int> warningThresholds() const;
    void setWarningThresholds(const std::vector<int>& thresholds);
    // Which windows were warned for, so that a restart warns none twice: the
    // warnings' own record (LimitWarnings::State), empty when none is stored.
    std::string warningState() const;
    void setWarningState(const std::string& state);
    // The warning that a window's pace reaches its limit before the reset: on
    // unless turned off (and only while the warnings are on).
    bool paceWarningEnabled() const;
    void setPaceWarningEnabled(bool enabled);

    // Whether the welcome was completed.
    bool onboardingDone() const;
    void setOnboardingDone(bool done);

    // The report window's place and size as Qt saves them; empty when none.
    QByteArray reportFrame() const;
    void setReportFrame(const QByteArray& frame);
    // Whether the report counts days in the local zone ("local") rather than UTC.
    bool reportDaysLocal() const;
    void setReportDaysLocal(bool local);

    // Where the listener for other machines' OpenTelemetry exports binds, as
    // "ADDR:PORT" ("0.0.0.0:4318", "[::]:4318"); empty (the default) keeps it
    // closed. Stored as written: whether it is an address is the server's to say.
    std::string otlpListen() const;
    void setOtlpListen(const std::string& address);

    // The name this machine's own messages are stored under: the one chosen,
    // else (none, or only blanks) the host name. Rows already stored keep the
    // name they were stored with; a new name counts from the next start.
    std::string machineName() const;
    // Surrounding blanks are dropped; a blank name goes back to the host name.
    void setMachineName(const std::string& name);

    // Where this machine's usage is sent as OTLP logs (UsageSender); empty:
    // nowhere. Stored as written; whoever sets it checks it first.
    std::string otlpEndpoint() const;
    void setOtlpEndpoint(const std::string& endpoint);

    // For tests: forgets everything stored, so each starts from the defaults.
    void resetForTests();
    // For tests of the stored form and of files edited by hand: the text under
    // a key as the file has it (nothing when the key is not there), and a text
    // put there as an editor would.
    std::optional<QString> storedTextForTests(Key key) const;
    void storeTextForTests(Key key, const QString& text);

signals:
    void themeChanged(ThemePreference theme);
    void chartIsCumulativeChanged(bool cumulative);
    void launchAtLoginChanged(bool enabled);
    void warningsEnabledChanged(bool enabled);
    void warningThresholdsChanged(const std::vector<int>& thresholds);
    void paceWarningEnabledChanged(bool enabled);
    void reportDaysLocalChanged(bool local);
    void otlpListenChanged(const std::string& address);
    void machineNameChanged(const std::string& name);
    void otlpEndpointChanged(const std::string& endpoint);

private:
    Preferences() = default;
};

} // namespace tallyglass
