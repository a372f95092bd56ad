#pragma once

#include "FakeDiskutil.h"
#include "TempDir.h"
#include "core/Bytes.h"
#include "core/Diskutil.h"
#include "ui/Bundle.h"

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <pthread.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sarnovelle {
class MakerController;
}

namespace sarnovelle::test {

// The invocations and the success line the window's runs are checked for.
inline const Arguments listCommand{"list", "-plist", "external", "physical"};
inline const Arguments partitionCommand{"partitionDisk", "/dev/disk4", "MBR", "MS-DOS FAT32", "SARNOVELLE",
                                        "2097152S", "Free Space", "none", "R"};
inline const std::string doneLine = "DONE. The USB is ready. You can remove it.";

// A bundle folder with an image and an Info.plist whose
// SarnovelleImageSHA256 is `expected` (no key at all when absent).
Bundle writeBundle(const TempDir& dir, const Bytes& image, const std::optional<std::string>& expected);

// The few bytes used as the boot image in the window's tests.
Bytes sampleImage();

// A disk environment whose disk utility lists no disk at all (the system
// on disk0), and an empty device tree.
DiskEnv noDisksEnv(const TempDir& dir);

// The log's messages, time stamps removed. Fails the test when a line does
// not start with "HH:mm:ss" and two blanks or the log does not end with a
// line feed.
std::vector<std::string> logMessages(const MakerController& controller);

// Lets the event loop run posted calls, layouts and resizes.
void settle(int milliseconds = 30);

// What an application-modal alert showed.
struct SeenAlert {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString text;
    QString informativeText;
    QStringList buttons;      // titles, in the order the alert holds them
    QString defaultButton;    // title of the Return button
    QString escapeButton;     // title of the Escape button
    QString windowTitle;
    // Whether the informative text is shown as plain text (never as markup).
    bool informativePlain = false;
};

// Answers the application-modal alerts as they come up, one answer each,
// and records what they showed. An answer is a button title to click,
// "<Return>" / "<Escape>" to press that key, or "<Leave>" to leave the
// alert up for the application to take away.
class AlertAnswerer : public QObject {
public:
    explicit AlertAnswerer(std::vector<QString> answers);
    const std::vector<SeenAlert>& seen() const { return seen_; }
    // Runs the event loop until `count` alerts were answered or the time is up.
    bool waitForAlerts(std::size_t count, int timeoutMs = 20000);
    // Called with each alert as it comes up, before it is answered: to look
    // at the window behind it at that moment.
    void onAlert(std::function<void(const SeenAlert&)> inspect) { inspect_ = std::move(inspect); }

private:
    void poll();
    std::deque<QString> answers_;
    std::vector<SeenAlert> seen_;
    std::function<void(const SeenAlert&)> inspect_;
    // The alert left up, not to be recorded again.
    QMessageBox* left_ = nullptr;
    QTimer timer_;
};

// While it lives, new threads ask for stacks far larger than the address
// space, so starting one fails for real (the system refuses the memory).
class ThreadsCannotStart {
public:
    ThreadsCannotStart();
    ~ThreadsCannotStart();
    ThreadsCannotStart(const ThreadsCannotStart&) = delete;
    ThreadsCannotStart& operator=(const ThreadsCannotStart&) = delete;
    // Whether a probe thread was indeed refused.
    bool effective() const { return effective_; }

private:
    bool saved_ = false;
    bool effective_ = false;
    pthread_attr_t previous_{};
};

} // namespace sarnovelle::test
