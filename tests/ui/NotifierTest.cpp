// The word on the desktop when a run ends: a notification service of the
// test's own on the tests' private session bus (see TestMain) answers as
// the desktop's does, and its signals bring the window forward.
#include "disks/UsbDisks.h"
#include "ui/RunNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QTest>
#include <QVariantMap>
#include <QWidget>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace sarnovelle {
namespace {

const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

// One Notify call as the service received it.
struct Notification {
    QString appName;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
};

// The notification service on its own connection to the bus, under the
// service's well-known name while `up`.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    NotificationService()
        : bus_(QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"),
                                             QStringLiteral("notification-service")))
    {
        bus_.registerObject(path, this, QDBusConnection::ExportAllSlots);
    }
    ~NotificationService() override
    {
        bus_.unregisterObject(path);
        QDBusConnection::disconnectFromBus(bus_.name());
    }
    NotificationService(const NotificationService&) = delete;
    NotificationService& operator=(const NotificationService&) = delete;

    bool up(bool on)
    {
        return on ? bus_.registerService(QString::fromLatin1(RunNotifier::service))
                  : bus_.unregisterService(QString::fromLatin1(RunNotifier::service));
    }
    // The signal the desktop sends when the user clicks notification `id`.
    void click(uint id, const QString& action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, QStringLiteral("ActionInvoked"));
        signal << id << action;
        bus_.send(signal);
    }

    std::vector<Notification> received;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& /*icon*/, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int /*timeout*/)
    {
        received.push_back({appName, summary, body, actions, hints});
        return replacesId != 0 ? replacesId : static_cast<uint>(received.size()) + 40;
    }

private:
    QDBusConnection bus_;
};

UsbDisk cruzer()
{
    UsbDisk disk;
    disk.id = "sdb";
    disk.name = "SanDisk Cruzer";
    disk.size = 16'008'609'792;
    disk.serial = "4C530001";
    return disk;
}

// The window, and another one the user went to.
struct Windows {
    Windows()
    {
        window.setWindowTitle(QStringLiteral("window"));
        window.show();
        other.show();
    }
    void activate(QWidget& which)
    {
        which.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&which));
    }
    QWidget window;
    QWidget other;
};

TEST(RunNotifier, SaysTheOutcomeOnlyWhenTheWindowIsOutOfSightAndOnlyWhenAServiceListens)
{
    struct Row {
        const char* what;
        bool windowActive;
        bool serviceUp;
        std::optional<std::string> failure;
        std::optional<Notification> expected;
    };
    const QStringList actions{QStringLiteral("default"), QStringLiteral("Show")};
    const QString app = QStringLiteral("Tessamir Sarnovelle USB Maker");
    const std::vector<Row> rows{
        {"ready, elsewhere", false, true, std::nullopt,
         Notification{app, QStringLiteral("The USB is ready: sdb, SanDisk Cruzer 16.0 GB"),
                      QStringLiteral("You can remove it."), actions, {}}},
        {"failed, elsewhere", false, true, "diskutil partitionDisk failed (exit 1). See the diskutil lines above.",
         Notification{app, QStringLiteral("Failed: sdb, SanDisk Cruzer 16.0 GB"),
                      QStringLiteral("diskutil partitionDisk failed (exit 1). See the diskutil lines above."),
                      actions, {}}},
        {"ready, in sight", true, true, std::nullopt, std::nullopt},
        {"ready, no service", false, false, std::nullopt, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        NotificationService service;
        ASSERT_TRUE(service.up(row.serviceUp) || !row.serviceUp);
        Windows windows;
        RunNotifier notifier(windows.window);
        windows.activate(row.windowActive ? windows.window : windows.other);
        notifier.runEnded(cruzer(), row.failure);
        if (!row.expected) {
            QTest::qWait(300);
            EXPECT_TRUE(service.received.empty());
            EXPECT_EQ(windows.window.isActiveWindow(), row.windowActive);
            continue;
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !service.received.empty(); }, 5000));
        ASSERT_EQ(service.received.size(), 1U);
        const Notification& seen = service.received.front();
        EXPECT_EQ(seen.appName, row.expected->appName);
        EXPECT_EQ(seen.summary, row.expected->summary);
        EXPECT_EQ(seen.body, row.expected->body);
        EXPECT_EQ(seen.actions, row.expected->actions);
        EXPECT_EQ(seen.hints.value(QStringLiteral("desktop-entry")).toString(),
                  QStringLiteral("sarnovelle-usb-maker"));

        // A click elsewhere, or on another notification, changes nothing;
        // a click on this one brings the window forward.
        QTest::qWait(100);
        service.click(41, QStringLiteral("Show"));
        service.click(7, QStringLiteral("default"));
        QTest::qWait(300);
        EXPECT_TRUE(windows.other.isActiveWindow());
        service.click(41, QStringLiteral("default"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return windows.window.isActiveWindow(); }, 5000));
    }
}

TEST(RunNotifier, NamesTheStickByItsIdNameAndSize)
{
    UsbDisk disk = cruzer();
    EXPECT_EQ(RunNotifier::stickName(disk), QStringLiteral("sdb, SanDisk Cruzer 16.0 GB"));
    disk.name.clear();
    disk.size = 1'140'850'688;
    EXPECT_EQ(RunNotifier::stickName(disk), QStringLiteral("sdb, 1.1 GB"));
}

} // namespace
} // namespace sarnovelle

#include "NotifierTest.moc"
