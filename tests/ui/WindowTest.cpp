// The window's arrangement at its default and minimum sizes, and with a
// disk label far longer than the row.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>

#include <cstdlib>

namespace sarnovelle {
namespace {

using test::FakeDiskutil;
using test::FakeSysfs;
using test::TempDir;

class Window : public ::testing::Test {
protected:
    void makeController(const std::string& mediaName = "SanDisk Ultra")
    {
        fake.listWholeDisks({"disk4"});
        fake.rootVolume("disk0");
        fake.usbDisk("disk4", mediaName, 16'008'609'792);
        sysfs.usbDisk("disk4", "4C530001\n");
        const Bytes image = test::sampleImage();
        controller = std::make_unique<MakerController>(test::writeBundle(dir, image, sha256Hex(image)), fake.env());
        test::settle();
    }

    QWidget* content() const { return controller->window()->centralWidget(); }
    QLabel* label() const { return content()->findChild<QLabel*>(); }

    void resizeWindow(int width, int height) const
    {
        controller->window()->resize(width, height);
        test::settle();
    }

    // The margins (12), the gaps between the rows (10) and between the
    // row's controls (8), the buttons centred on the pop-up and at their
    // natural width, and the log down to the bottom margin.
    void expectArrangement() const
    {
        const QSize area = content()->size();
        const QRect text = label()->geometry();
        const QRect popup = controller->diskPopup()->geometry();
        const QRect refresh = controller->refreshButton()->geometry();
        const QRect make = controller->makeButton()->geometry();
        const QRect log = controller->logScroll()->geometry();

        EXPECT_EQ(text.left(), 12);
        EXPECT_EQ(text.top(), 12);
        EXPECT_EQ(area.width() - (text.left() + text.width()), 12);
        EXPECT_GE(text.height(), label()->heightForWidth(text.width())) << "all three lines visible";

        EXPECT_EQ(popup.left(), 12);
        EXPECT_EQ(popup.top(), text.top() + text.height() + 10);
        EXPECT_EQ(refresh.left(), popup.left() + popup.width() + 8);
        EXPECT_EQ(make.left(), refresh.left() + refresh.width() + 8);
        EXPECT_EQ(area.width() - (make.left() + make.width()), 12);
        EXPECT_LE(std::abs(refresh.center().y() - popup.center().y()), 1);
        EXPECT_LE(std::abs(make.center().y() - popup.center().y()), 1);
        EXPECT_EQ(refresh.width(), controller->refreshButton()->sizeHint().width());
        EXPECT_EQ(make.width(), controller->makeButton()->sizeHint().width());

        EXPECT_EQ(log.left(), 12);
        EXPECT_EQ(log.top(), popup.top() + popup.height() + 10);
        EXPECT_EQ(area.width() - (log.left() + log.width()), 12);
        EXPECT_EQ(area.height() - (log.top() + log.height()), 12);
        EXPECT_GT(log.height(), 100);
    }

    TempDir dir;
    FakeDiskutil fake{dir / "scenario"};
    FakeSysfs sysfs{fake.sysfsRoot()};
    std::unique_ptr<MakerController> controller;
};

TEST_F(Window, OpensCentredAt720By460WithTheInstructions)
{
    makeController();
    QMainWindow* window = controller->window();
    EXPECT_EQ(content()->size(), QSize(720, 460));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tessamir Sarnovelle USB Maker"));
    EXPECT_EQ(label()->text(),
              QStringLiteral("1. Insert a USB stick (everything on it will be erased).\n"
                             "2. Select it below and click Make USB.\n"
                             "3. On the device PC: turn Secure Boot off in BIOS, insert the USB and power on."));
    EXPECT_TRUE(label()->wordWrap());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    if (screen.width() >= window->width() && screen.height() >= window->height()) {
        EXPECT_LE(std::abs(window->geometry().center().x() - screen.center().x()), 1);
        EXPECT_LE(std::abs(window->geometry().center().y() - screen.center().y()), 1);
    }
    expectArrangement();
}

TEST_F(Window, ArrangementHoldsAtTheMinimumAndLargerSizes)
{
    makeController();
    resizeWindow(200, 100); // below the minimum
    EXPECT_EQ(content()->size(), QSize(560, 380));
    expectArrangement();
    const int minimumLog = controller->logScroll()->height();

    resizeWindow(900, 700);
    EXPECT_EQ(content()->size(), QSize(900, 700));
    expectArrangement();
    EXPECT_GE(controller->logScroll()->height(), minimumLog + 320 - 30) << "the log takes the extra height";
}

TEST_F(Window, LongDiskLabelNarrowsThePopupNotTheWindow)
{
    makeController(std::string(300, 'W'));
    ASSERT_EQ(controller->diskPopup()->count(), 1);
    ASSERT_GT(controller->diskPopup()->itemText(0).size(), 300);
    EXPECT_EQ(content()->size(), QSize(720, 460));
    expectArrangement();

    controller->refreshClicked();
    test::settle();
    EXPECT_EQ(content()->size(), QSize(720, 460));

    resizeWindow(560, 380);
    EXPECT_EQ(content()->size(), QSize(560, 380));
    expectArrangement();
    EXPECT_GT(controller->diskPopup()->width(), 100);
}

TEST_F(Window, ClosingKeepsTheWindowObject)
{
    makeController();
    QMainWindow* window = controller->window();
    window->close();
    test::settle();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(controller->window(), window);
    EXPECT_EQ(window->centralWidget(), content());
    // Still usable: the log takes lines after closing.
    controller->log(std::string("after close"));
    EXPECT_EQ(test::logMessages(*controller).back(), "after close");
}

} // namespace
} // namespace sarnovelle
