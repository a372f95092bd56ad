// The log: time-stamped lines appended at the end, read-only, scrolled to
// the newest line.
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QFontInfo>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextCursor>
#include <QTime>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::TempDir;

class LogView : public ::testing::Test {
protected:
    LogView()
    {
        const Bytes image = test::sampleImage();
        controller = std::make_unique<MakerController>(test::writeBundle(dir, image, sha256Hex(image)),
                                                       test::noDisksEnv(dir));
    }

    QString text() const { return controller->logView()->toPlainText(); }

    TempDir dir;
    std::unique_ptr<MakerController> controller;
};

TEST_F(LogView, LineIsTimeTwoBlanksMessageAndLineFeed)
{
    const QString before = text();
    const QTime start = QTime::currentTime();
    controller->log(std::string("Hello, stick"));
    const QTime end = QTime::currentTime();

    const QString added = text().mid(before.size());
    ASSERT_EQ(added.size(), 8 + 2 + 12 + 1) << added.toStdString();
    EXPECT_EQ(added.mid(8), QStringLiteral("  Hello, stick\n"));
    // 24-hour clock with leading zeros, taken when the line was appended.
    const QTime stamp = QTime::fromString(added.left(8), QStringLiteral("HH:mm:ss"));
    ASSERT_TRUE(stamp.isValid()) << added.left(8).toStdString();
    EXPECT_EQ(stamp.toString(QStringLiteral("HH:mm:ss")), added.left(8));
    if (start <= end) { // not across midnight
        EXPECT_GE(stamp, QTime(start.hour(), start.minute(), start.second()));
        EXPECT_LE(stamp, end);
    }
}

TEST_F(LogView, EmptyMessageAndInnerLineFeedAreKeptAsTheyAre)
{
    controller->log(std::string());
    controller->log(std::string("first\nsecond"));
    const QStringList lines = text().split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 4);
    EXPECT_EQ(lines[lines.size() - 4].mid(8), QStringLiteral("  "));
    EXPECT_EQ(lines[lines.size() - 3].mid(8), QStringLiteral("  first"));
    EXPECT_EQ(lines[lines.size() - 2], QStringLiteral("second")) << "no time stamp of its own";
    EXPECT_EQ(lines.back(), QString());
}

TEST_F(LogView, AppendsAtTheEndWhateverTheUserSelected)
{
    const QString before = text();
    QPlainTextEdit* view = controller->logView();
    QTextCursor selection(view->document());
    selection.setPosition(3);
    selection.setPosition(8, QTextCursor::KeepAnchor);
    view->setTextCursor(selection);
    const QString selected = view->textCursor().selectedText();

    controller->log(std::string("new line"));
    EXPECT_TRUE(text().startsWith(before));
    EXPECT_TRUE(text().endsWith(QStringLiteral("  new line\n")));
    EXPECT_EQ(view->textCursor().selectedText(), selected) << "the user's selection stays";
}

TEST_F(LogView, ScrollsToTheNewestLineEvenWhenScrolledUp)
{
    for (int i = 0; i < 300; ++i) {
        controller->log("line " + std::to_string(i));
    }
    QScrollBar* bar = controller->logView()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(0); // the user scrolls up to read
    controller->log(std::string("newest"));
    EXPECT_GT(bar->value(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(LogView, TypingChangesNothing)
{
    QPlainTextEdit* view = controller->logView();
    EXPECT_TRUE(view->isReadOnly());
    const QString before = text();
    view->setFocus();
    QTest::keyClicks(view, QStringLiteral("typed"));
    QTest::keyClick(view, Qt::Key_Backspace);
    QTest::keyClick(view, Qt::Key_Return);
    EXPECT_EQ(text(), before);
}

TEST_F(LogView, UsesTheFixedPitchSystemFontAt11Points)
{
    const QFont font = controller->logView()->font();
    EXPECT_EQ(font.pointSize(), 11);
    EXPECT_EQ(font.weight(), QFont::Normal);
    EXPECT_TRUE(QFontInfo(font).fixedPitch());
}

} // namespace
} // namespace sarnovelle
