// The application shell: launching, the menu and its targets, the About
// panel and the two ways the application ends.
#include "AppDelegate.h"
#include "TempDir.h"

#include "core/Config.h"
#include "core/Plist.h"
#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::TempDir;

class Shell : public ::testing::Test {
protected:
    Shell()
    {
        const Bytes image = toBytes("MZ shell test image");
        dir.write("bundle/BOOTX64.EFI", "MZ shell test image");
        PlistDict info;
        info.setText("SarnovelleImageSHA256", sha256Hex(image));
        dir.write("bundle/Info.plist", info.toXml());
        // No disk utility at all: listing fails, which the window logs.
        delegate = std::make_unique<AppDelegate>(Bundle::inFolder(dir / "bundle"),
                                                 DiskEnv{(dir / "missing-diskutil").string(), (dir / "sys").string()});
        delegate->applicationDidFinishLaunching();
        QTest::qWait(30);
    }

    QMainWindow* window() const { return delegate->controller()->window(); }

    // Runs the event loop until something quits it; false when `action`
    // never ran first or nothing quit within five seconds.
    static bool quitsAfter(const std::function<void()>& action)
    {
        bool acted = false;
        bool timedOut = false;
        QTimer::singleShot(0, [&] {
            acted = true;
            action();
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            timedOut = true;
            QCoreApplication::quit();
        });
        guard.start(5000);
        QApplication::exec();
        return acted && !timedOut;
    }

    TempDir dir;
    std::unique_ptr<AppDelegate> delegate;
};

TEST_F(Shell, LaunchingBuildsTheMenuAndShowsTheWindowInFront)
{
    ASSERT_NE(delegate->controller(), nullptr);
    EXPECT_TRUE(window()->isVisible());
    EXPECT_TRUE(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
#ifndef __APPLE__
    EXPECT_EQ(window()->menuBar(), delegate->menuBar()) << "the menu sits in the window";
    EXPECT_EQ(window()->centralWidget()->size(), QSize(720, 460)) << "the menu bar adds to the window";
#endif
    EXPECT_TRUE(delegate->controller()->imageOk());
}

TEST_F(Shell, MenuHasTheThreeMenusWithTheirItemsAndShortcuts)
{
    const QList<QAction*> top = delegate->menuBar()->actions();
    ASSERT_EQ(top.size(), 3);
    QMenu* appMenu = top[0]->menu();
    QMenu* editMenu = top[1]->menu();
    ASSERT_NE(appMenu, nullptr);
    ASSERT_NE(editMenu, nullptr);
    EXPECT_EQ(appMenu->title(), QStringLiteral("Sarnovelle USB Maker"));
    EXPECT_EQ(editMenu->title(), QStringLiteral("Edit"));

    const QList<QAction*> app = appMenu->actions();
    ASSERT_EQ(app.size(), 3);
    EXPECT_EQ(app[0], delegate->aboutAction());
    EXPECT_EQ(app[0]->text(), QStringLiteral("About Sarnovelle USB Maker"));
    EXPECT_TRUE(app[0]->shortcut().isEmpty());
    EXPECT_TRUE(app[1]->isSeparator());
    EXPECT_EQ(app[2], delegate->quitAction());
    EXPECT_EQ(app[2]->text(), QStringLiteral("Quit Sarnovelle USB Maker"));
    EXPECT_EQ(app[2]->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));

    const QList<QAction*> edit = editMenu->actions();
    ASSERT_EQ(edit.size(), 2);
    EXPECT_EQ(edit[0]->text(), QStringLiteral("Copy"));
    EXPECT_EQ(edit[0]->shortcut(), QKeySequence(QStringLiteral("Ctrl+C")));
    EXPECT_EQ(edit[1]->text(), QStringLiteral("Select All"));
    EXPECT_EQ(edit[1]->shortcut(), QKeySequence(QStringLiteral("Ctrl+A")));

    QMenu* usbMenu = top[2]->menu();
    ASSERT_NE(usbMenu, nullptr);
    EXPECT_EQ(usbMenu->title(), QStringLiteral("USB"));
    ASSERT_EQ(usbMenu->actions().size(), 1);
    EXPECT_EQ(usbMenu->actions()[0], delegate->controller()->checkAction());
    EXPECT_EQ(usbMenu->actions()[0]->text(), QStringLiteral("Check USB"));
}

TEST_F(Shell, SelectAllAndCopyActOnTheFocusedLog)
{
    QPlainTextEdit* log = delegate->controller()->logView();
    window()->activateWindow();
    log->setFocus();
    QTest::qWait(20);
    ASSERT_EQ(QApplication::focusWidget(), log);

    delegate->selectAllAction()->trigger();
    const QString all = log->toPlainText();
    ASSERT_FALSE(all.isEmpty());
    // A selection's text uses U+2029 between paragraphs.
    EXPECT_EQ(log->textCursor().selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')), all);

    QApplication::clipboard()->setText(QStringLiteral("before"));
    delegate->copyAction()->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), all);

    // With a button focused there is nothing to copy from: nothing happens.
    delegate->controller()->refreshButton()->setFocus();
    QApplication::clipboard()->setText(QStringLiteral("kept"));
    delegate->copyAction()->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("kept"));
}

TEST_F(Shell, AboutShowsNameVersionIconAndNoticeAndComesForwardAgain)
{
    EXPECT_EQ(delegate->aboutDialog(), nullptr);
    delegate->aboutAction()->trigger();
    AboutDialog* about = delegate->aboutDialog();
    ASSERT_NE(about, nullptr);
    EXPECT_TRUE(about->isVisible());

    EXPECT_EQ(about->findChild<QLabel*>(QStringLiteral("aboutName"))->text(),
              QStringLiteral("Tessamir Sarnovelle USB Maker"));
    EXPECT_EQ(about->findChild<QLabel*>(QStringLiteral("aboutVersion"))->text(),
              QStringLiteral("Version ") + QStringLiteral(SARNOVELLE_VERSION));
    EXPECT_FALSE(about->findChild<QLabel*>(QStringLiteral("aboutIcon"))->pixmap().isNull());
    QLabel* notice = about->findChild<QLabel*>(QStringLiteral("aboutNotice"));
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text().toStdString(), std::string(Config::notice));
    EXPECT_EQ(notice->font().pointSize(), 10);

    about->close();
    QTest::qWait(10);
    delegate->aboutAction()->trigger();
    EXPECT_EQ(delegate->aboutDialog(), about) << "the same panel, not a second one";
    EXPECT_TRUE(about->isVisible());
    delegate->aboutAction()->trigger();
    EXPECT_EQ(delegate->aboutDialog(), about);
}

TEST_F(Shell, QuitEndsTheEventLoop)
{
    EXPECT_TRUE(quitsAfter([this] { delegate->quitAction()->trigger(); }));
}

TEST_F(Shell, ClosingTheWindowEndsTheEventLoop)
{
    EXPECT_TRUE(quitsAfter([this] { window()->close(); }));
    EXPECT_NE(delegate->controller()->window(), nullptr) << "the window object outlives closing";
}

TEST_F(Shell, ClosingTheAboutPanelKeepsTheApplicationRunning)
{
    delegate->aboutAction()->trigger();
    bool stillRunning = false;
    QTimer::singleShot(0, [this] { delegate->aboutDialog()->close(); });
    QTimer::singleShot(200, [&] {
        stillRunning = true;
        QCoreApplication::quit();
    });
    QApplication::exec();
    EXPECT_TRUE(stillRunning);
}

} // namespace
} // namespace sarnovelle
