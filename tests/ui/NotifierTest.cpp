// The word on the desktop when a run ends: a notification service of the
// test's own on the tests' private session bus (see TestMain) answers as
// the desktop's does, and its signals bring the window forward.
#include "disks/UsbDisks.h"
#include "ui/RunNotifier.h"

#include <QDBusConnection>
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

struct Notification {
    QString appName, summary, body;
    QStringList actions;
    QVariantMap hints;
};

// The notification service on its own connection to the bus.
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

    bool up() { return bus_.registerService(QString::fromLatin1(RunNotifier::service)); }
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

const UsbDisk cruzer{"sdb", "SanDisk Cruzer", 16'008'609'792, "4C530001"};

TEST(RunNotifier, SaysTheOutcomeOnlyWhenTheWindowIsOutOfSightAndOnlyWhenAServiceListens)
{
    struct Row {
        const char* what;
        bool windowActive;
        bool serviceUp;
        std::optional<std::string> failure;
        QString summary; // and the body below; none when empty: nothing is said
        QString body;
    };
    const std::vector<Row> rows{
        {"ready, elsewhere", false, true, std::nullopt, QStringLiteral("The USB is ready: sdb, SanDisk Cruzer 16.0 GB"),
         QStringLiteral("You can remove it.")},
        {"failed, elsewhere", false, true, "diskutil partitionDisk failed (exit 1). See the diskutil lines above.",
         QStringLiteral("Failed: sdb, SanDisk Cruzer 16.0 GB"),
         QStringLiteral("diskutil partitionDisk failed (exit 1). See the diskutil lines above.")},
        {"ready, in sight", true, true, std::nullopt, {}, {}},
        {"ready, no service", false, false, std::nullopt, {}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        NotificationService service;
        ASSERT_TRUE(!row.serviceUp || service.up());
        QWidget window;
        QWidget other;
        window.show();
        other.show();
        RunNotifier notifier(window);
        QWidget& active = row.windowActive ? window : other;
        active.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&active));
        notifier.runEnded(cruzer, row.failure);
        if (row.summary.isEmpty()) {
            QTest::qWait(300);
            EXPECT_TRUE(service.received.empty());
            EXPECT_EQ(window.isActiveWindow(), row.windowActive);
            continue;
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !service.received.empty(); }, 5000));
        ASSERT_EQ(service.received.size(), 1U);
        const Notification& seen = service.received.front();
        EXPECT_EQ(seen.appName, QStringLiteral("Tessamir Sarnovelle USB Maker"));
        EXPECT_EQ(seen.summary, row.summary);
        EXPECT_EQ(seen.body, row.body);
        EXPECT_EQ(seen.actions, QStringList({QStringLiteral("default"), QStringLiteral("Show")}));
        EXPECT_EQ(seen.hints.value(QStringLiteral("desktop-entry")).toString(),
                  QStringLiteral("sarnovelle-usb-maker"));

        // A click elsewhere, or on another notification, changes nothing;
        // a click on this one brings the window forward.
        QTest::qWait(100);
        service.click(41, QStringLiteral("Show"));
        service.click(7, QStringLiteral("default"));
        QTest::qWait(300);
        EXPECT_TRUE(other.isActiveWindow());
        service.click(41, QStringLiteral("default"));
        EXPECT_TRUE(QTest::qWaitFor([&] { return window.isActiveWindow(); }, 5000));
    }
}

TEST(RunNotifier, NamesTheStickByItsIdNameAndSize)
{
    EXPECT_EQ(RunNotifier::stickName(cruzer), QStringLiteral("sdb, SanDisk Cruzer 16.0 GB"));
    EXPECT_EQ(RunNotifier::stickName({"sdb", "", 1'140'850'688, ""}), QStringLiteral("sdb, 1.1 GB"));
}

} // namespace
} // namespace sarnovelle

#include "NotifierTest.moc"
