#include "app/Notifications.h"

#include "capture/LimitWatcher.h"
#include "core/IsoTime.h"
#include "storage/Preferences.h"
#include "support/OutputCapture.h"
#include "support/QtTestApp.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QProcess>

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

// A notification service of our own on a session bus of our own: never the user's.
class FakeNotifications : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    bool failing = false;
    QStringList received; // "app|summary|body"

public slots:
    uint Notify(const QString& app, uint, const QString&, const QString& summary, const QString& body, const QStringList&,
                const QVariantMap&, int)
    {
        if (failing) {
            sendErrorReply(QDBusError::Failed, "the service is out of order");
            return 0;
        }
        received << app + "|" + summary + "|" + body;
        return static_cast<uint>(received.size());
    }
};

class NotificationsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (!bus.waitForStarted(5000) || !bus.waitForReadyRead(5000))
            GTEST_SKIP() << "dbus-daemon is not available (scripts/setup-debian installs it)";
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        // Before any use of the session bus in this process (each test runs in a process of its own).
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        service = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, "fake-notifications"));
        ASSERT_TRUE(service->isConnected());
    }
    void TearDown() override
    {
        if (service)
            QDBusConnection::disconnectFromBus("fake-notifications");
        bus.kill();
        bus.waitForFinished();
    }
    void offer()
    {
        ASSERT_TRUE(service->registerObject("/org/freedesktop/Notifications", &fake, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(service->registerService("org.freedesktop.Notifications"));
    }

    QProcess bus;
    std::unique_ptr<QDBusConnection> service;
    FakeNotifications fake;
    QStringList tray;
    bool trayThere = true;
    Notifications notifications{[this](const QString& title, const QString& text) {
        if (trayThere)
            tray << title + "|" + text;
        return trayThere;
    }};
};

TEST_F(NotificationsTest, aWarningBecomesADesktopNotification)
{
    offer();
    notifications.show("5-hour limit at 82% \u2014 resets at 16:40");
    ASSERT_TRUE(test::waitUntil([&] { return !fake.received.isEmpty(); }));
    EXPECT_EQ(fake.received.front(), QString::fromUtf8("Tallyglass|Claude Code usage|5-hour limit at 82% \u2014 resets at 16:40"));
    EXPECT_TRUE(tray.isEmpty());
}

// Without the service, or with one that answers an error, the tray says it; without a tray, the log.
TEST_F(NotificationsTest, aMissingOrFailingServiceFallsBackToTheTrayThenTheLog)
{
    notifications.show("first");
    ASSERT_TRUE(test::waitUntil([&] { return tray.size() == 1; }));
    EXPECT_EQ(tray.front(), "Claude Code usage|first");

    offer();
    fake.failing = true;
    notifications.show("second");
    ASSERT_TRUE(test::waitUntil([&] { return tray.size() == 2; }));
    EXPECT_EQ(tray.back(), "Claude Code usage|second");

    trayThere = false;
    const test::OutputCapture log(test::OutputCapture::Stream::error);
    notifications.show("third");
    ASSERT_TRUE(log.waitFor("third\n"));
    EXPECT_EQ(log.text(), "[tallyglass] warning: third\n");
}

// The watcher keeps its windows across restarts and stays quiet when warnings are off.
TEST_F(NotificationsTest, theWatcherWarnsOncePerWindowAcrossRestartsAndNotWhenTurnedOff)
{
    Preferences::shared().resetForTests();
    const Instant now = *IsoTime::parse("2026-12-06T10:00:00Z");
    std::vector<std::string> said;
    const auto say = [&](const std::string& text) { said.push_back(text); };
    LimitWatcher(say, [&] { return now; }).onReading({now, 85, now + std::chrono::hours(2), std::nullopt, std::nullopt});
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind("5-hour limit at 85%", 0), 0u);
    LimitWatcher restarted(say, [&] { return now; });
    restarted.onReading({now + std::chrono::minutes(1), 90, now + std::chrono::hours(2), std::nullopt, std::nullopt});
    EXPECT_EQ(said.size(), 1u);
    Preferences::shared().setWarningsEnabled(false);
    restarted.onReading({now + std::chrono::minutes(2), 96, now + std::chrono::hours(2), std::nullopt, std::nullopt});
    EXPECT_EQ(said.size(), 1u);
    Preferences::shared().setWarningsEnabled(true);
    // The pace warning follows its own switch: off, a window climbing towards its limit says nothing of it.
    Preferences::shared().setPaceWarningEnabled(false);
    const Instant next = now + std::chrono::hours(3);
    LimitWatcher quiet(say, [&] { return next; });
    quiet.onReading({next, std::nullopt, std::nullopt, 50, next + std::chrono::hours(48)});
    quiet.onReading({next + std::chrono::hours(1), std::nullopt, std::nullopt, 60, next + std::chrono::hours(48)});
    EXPECT_EQ(said.size(), 1u);
    Preferences::shared().setPaceWarningEnabled(true);
    quiet.onReading({next + std::chrono::hours(2), std::nullopt, std::nullopt, 70, next + std::chrono::hours(48)});
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[1].rfind("7-day limit: at this pace 100% at ", 0), 0u) << said[1];
}

} // namespace
} // namespace tallyglass

#include "NotificationsTest.moc"
