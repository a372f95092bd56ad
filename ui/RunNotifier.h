#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>

class QWidget;

namespace sarnovelle {

struct UsbDisk;

// A word on the desktop when a run ends while the user looks elsewhere: a
// notification through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus) that says the outcome
// and names the stick. Clicking it brings the window forward. Without a
// session bus or a notification service nothing happens; the call never
// waits for the service.
class RunNotifier : public QObject {
    Q_OBJECT

public:
    // The notification service's well-known name.
    static constexpr const char* service = "org.freedesktop.Notifications";

    // `window` is the one brought forward by a click; it outlives this.
    explicit RunNotifier(QWidget& window);
    ~RunNotifier() override;

    RunNotifier(const RunNotifier&) = delete;
    RunNotifier& operator=(const RunNotifier&) = delete;

    // Called when a run on `disk` ends, `failure` holding its message when
    // it failed. Notifies only when the window is not the active window.
    void runEnded(const UsbDisk& disk, const std::optional<std::string>& failure);

    // "sdb, SanDisk Cruzer 16.0 GB": the stick as the notification names it.
    static QString stickName(const UsbDisk& disk);

private Q_SLOTS:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    void watchSignals();

    QPointer<QWidget> window_;
    bool watching_ = false;
    // The id the service gave the last notification; 0 while none is up.
    uint shown_ = 0;
};

} // namespace sarnovelle
