#include "ui/RunNotifier.h"

#include "core/Config.h"
#include "disks/UsbDisks.h"
#include "ui/QtText.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <QWidget>

namespace sarnovelle {

namespace {

const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
// The action a click on the notification's body invokes.
const QString defaultAction = QStringLiteral("default");
// Let the service decide how long the notification stays.
constexpr int serviceTimeout = -1;
// The installed desktop file, without ".desktop": the service takes the
// application's name and icon from it.
const QString desktopEntry = QStringLiteral("sarnovelle-usb-maker");
// The hint's "normal" urgency.
constexpr unsigned char normalUrgency = 1;

} // namespace

RunNotifier::RunNotifier(QWidget& window) : window_(&window)
{
    // Connected now, while the application starts: the bus' connection
    // needs a thread of its own, which may not start at a run's end (the
    // run that ends because no thread could start).
    watchSignals();
}

RunNotifier::~RunNotifier() = default;

QString RunNotifier::stickName(const UsbDisk& disk)
{
    // QString::number ignores the locale: "." whatever the language.
    const QString size = QString::number(static_cast<double>(disk.size) / 1e9, 'f', 1) + QStringLiteral(" GB");
    const QString name = QString::fromStdString(disk.name);
    return QString::fromStdString(disk.id) + QStringLiteral(", ") + (name.isEmpty() ? size : name + u' ' + size);
}

void RunNotifier::watchSignals()
{
    if (watching_) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    watching_ = bus.connect(QString::fromLatin1(service), path, interface, QStringLiteral("ActionInvoked"), this,
                            SLOT(actionInvoked(uint, QString)))
                && bus.connect(QString::fromLatin1(service), path, interface,
                               QStringLiteral("NotificationClosed"), this, SLOT(notificationClosed(uint, uint)));
}

void RunNotifier::runEnded(const UsbDisk& disk, const std::optional<std::string>& failure)
{
    if (window_ == nullptr || window_->isActiveWindow()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    const QString stick = stickName(disk);
    const QString summary
        = failure ? QStringLiteral("Failed: ") + stick : QStringLiteral("The USB is ready: ") + stick;
    const QString body = failure ? QString::fromStdString(*failure) : QStringLiteral("You can remove it.");
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(normalUrgency));
    hints.insert(QStringLiteral("desktop-entry"), desktopEntry);

    QDBusMessage notify = QDBusMessage::createMethodCall(QString::fromLatin1(service), path, interface,
                                                         QStringLiteral("Notify"));
    notify << fromStd(Config::title) << shown_ << QString() << summary << body
           << QStringList{defaultAction, QStringLiteral("Show")} << hints << serviceTimeout;
    // Asynchronous: a slow or missing service never holds up the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        const QDBusPendingReply<uint> reply = *call;
        if (!reply.isError()) {
            shown_ = reply.value();
        }
        call->deleteLater();
    });
}

void RunNotifier::actionInvoked(uint id, const QString& action)
{
    if (id == 0 || id != shown_ || action != defaultAction || window_ == nullptr) {
        return;
    }
    window_->show();
    window_->setWindowState((window_->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window_->raise();
    window_->activateWindow();
}

void RunNotifier::notificationClosed(uint id, uint /*reason*/)
{
    if (id == shown_) {
        shown_ = 0;
    }
}

} // namespace sarnovelle
