// The disk list following the sticks: what the window does with the disk
// events of a source standing where the platform's watcher stands, against
// the fake disk utility.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TwoSticks.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/DiskWatcher.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace sarnovelle {
namespace {

using test::AlertAnswerer;
using test::FakeDiskutil;
using test::FakeSysfs;
using test::listCommand;
using test::TempDir;

const std::string refreshOnlyLine = "Sticks plugged in or pulled out show after a click on Refresh.";

// Disk events on demand.
class HandEvents : public DiskWatcher {
public:
    explicit HandEvents(bool starts) : starts_(starts) {}
    bool start() override { return starts_; }
    void fire(int times)
    {
        for (int i = 0; i < times; ++i) {
            Q_EMIT disksMayHaveChanged();
        }
    }

private:
    bool starts_;
};

enum class When {
    Idle,               // the events come while nothing else goes on
    BehindConfirmation, // just before and while the erase confirmation is up, answered Cancel
    DuringRun,          // while disk4 is prepared, and behind the outcome
    RefreshClicked,     // no events: the user clicks Refresh
};

struct Row {
    const char* name;
    // The list's answers in turn, from the window's first listing on.
    std::vector<std::vector<std::string>> listings;
    When when;
    int events;
    std::vector<std::string> items; // the pop-up's disks afterwards
    std::string selected;           // afterwards; empty: none
    int listingsAfter;              // listings since the selection was made
    // The lines logged since then (during a run: its last lines).
    std::vector<std::string> lines;
    bool watcherStarts = true;
    // A change to the disks made together with the events.
    std::function<void(FakeDiskutil&)> change = nullptr;
};

const std::string moved = "The selected disk disk4 is no longer there; disk3 is selected now.";

// disk4 is selected before anything happens.
const std::vector<Row> rows = {
    {"a burst makes one listing; an unchanged list logs nothing", {{"disk3", "disk4"}}, When::Idle, 5,
     {"disk3", "disk4"}, "disk4", 1, {}},
    {"a stick plugged in is listed; the selection stays with its disk",
     {{"disk3", "disk4"}, {"disk2", "disk3", "disk4"}}, When::Idle, 3, {"disk2", "disk3", "disk4"}, "disk4", 1,
     {"3 USB disk(s) found."}},
    {"the selected stick pulled out: the first disk, said in the log", {{"disk3", "disk4"}, {"disk3"}}, When::Idle, 2,
     {"disk3"}, "disk3", 1, {"1 USB disk(s) found.", moved}},
    {"another stick under the selected one's identifier is not selected", {{"disk3", "disk4"}}, When::Idle, 2,
     {"disk3", "disk4"}, "disk3", 1, {"2 USB disk(s) found.", moved},
     true, [](FakeDiskutil& fake) { fake.usbDisk("disk4", "SanDisk Ultra", 32'000'000'000); }},
    {"the last stick pulled out: nothing selected", {{"disk4"}, {}}, When::Idle, 1, {}, "", 1,
     {"No USB disk found. Insert a USB stick and click Refresh.",
      "The selected disk disk4 is no longer there; no disk is selected."}},
    {"behind the confirmation: one listing once it is answered", {{"disk3", "disk4"}, {"disk3"}},
     When::BehindConfirmation, 3, {"disk3"}, "disk3", 1, {"1 USB disk(s) found.", moved}},
    {"during a run and behind its outcome: only the run's end lists",
     {{"disk3", "disk4"}, {"disk3", "disk4"}, {"disk3"}}, When::DuringRun, 3, {"disk3"}, "disk3", 2,
     {test::doneLine, "1 USB disk(s) found."}},
    {"Refresh keeps the selection with its disk", {{"disk3", "disk4"}, {"disk2", "disk3", "disk4"}},
     When::RefreshClicked, 0, {"disk2", "disk3", "disk4"}, "disk4", 1, {"3 USB disk(s) found."}},
    {"Refresh after the selected stick went: the first disk", {{"disk3", "disk4"}, {"disk3"}}, When::RefreshClicked, 0,
     {"disk3"}, "disk3", 1, {"1 USB disk(s) found."}},
    {"a watcher that cannot start leaves Refresh working", {{"disk3", "disk4"}, {"disk3"}}, When::RefreshClicked, 0,
     {"disk3"}, "disk3", 1, {"1 USB disk(s) found."}, false},
};

std::vector<PlistDict> listAnswers(const std::vector<std::vector<std::string>>& listings)
{
    std::vector<PlistDict> answers;
    for (const auto& identifiers : listings) {
        answers.emplace_back().setTextList("WholeDisks", identifiers);
    }
    return answers;
}

std::vector<std::string> popupDisks(const MakerController& controller)
{
    std::vector<std::string> ids;
    for (const UsbDisk& disk : controller.disks()) {
        ids.push_back(disk.id);
    }
    EXPECT_EQ(controller.diskPopup()->count(), static_cast<int>(ids.size()));
    return ids;
}

std::string selectedDisk(const MakerController& controller)
{
    const int index = controller.diskPopup()->currentIndex();
    return index < 0 ? std::string() : controller.disks().at(static_cast<std::size_t>(index)).id;
}

void waitForListings(const FakeDiskutil& fake, int count)
{
    QDeadlineTimer deadline(10000);
    while (count > 0 && fake.count(listCommand) < count && !deadline.hasExpired()) {
        QTest::qWait(10);
    }
}

// Events behind an alert, then long enough for a listing to happen if it
// were going to: none may.
void fireBehindAlert(HandEvents& source, const FakeDiskutil& fake, int events)
{
    const int before = fake.count(listCommand);
    source.fire(events);
    test::settle(2 * MakerController::settleMilliseconds);
    EXPECT_EQ(fake.count(listCommand), before) << "nothing is listed behind an alert";
}

TEST(AutoRefresh, DiskEventsListTheDisksAgainOnceTheWindowIsIdle)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        FakeDiskutil fake{dir / "scenario"};
        FakeSysfs sysfs{fake.sysfsRoot()};
        test::addTwoSticks(fake, sysfs);
        fake.usbDisk("disk2", "New stick", 4'000'000'000);
        sysfs.usbDisk("disk2", "NEW\n");
        // Slow enough to outlast the wait after the events.
        fake.simulateStick({.disk = "disk4", .mountDelay = 2});
        fake.answer(listCommand, listAnswers(row.listings));

        auto watcher = std::make_unique<HandEvents>(row.watcherStarts);
        HandEvents* source = watcher.get();
        const Bytes image = test::sampleImage();
        MakerController controller(test::writeBundle(dir, image, sha256Hex(image)), fake.env(), std::move(watcher));
        const auto startLines = test::logMessages(controller);
        EXPECT_EQ(std::count(startLines.begin(), startLines.end(), refreshOnlyLine), row.watcherStarts ? 0 : 1);
        const auto& first = row.listings.front();
        controller.diskPopup()->setCurrentIndex(
            static_cast<int>(std::find(first.begin(), first.end(), "disk4") - first.begin()));
        ASSERT_EQ(selectedDisk(controller), "disk4");
        fake.clearInvocations();
        if (row.change) {
            row.change(fake);
        }

        switch (row.when) {
        case When::Idle:
            source->fire(row.events);
            break;
        case When::BehindConfirmation: {
            AlertAnswerer answerer({QStringLiteral("Cancel")});
            answerer.onAlert([&](const test::SeenAlert&) { fireBehindAlert(*source, fake, row.events); });
            // The wait these start ends behind the alert.
            source->fire(row.events);
            controller.makeButton()->click();
            ASSERT_EQ(answerer.seen().size(), 1U);
            break;
        }
        case When::DuringRun: {
            AlertAnswerer answerer({QStringLiteral("Erase"), QStringLiteral("<Return>")});
            answerer.onAlert([&](const test::SeenAlert& alert) {
                if (alert.icon == QMessageBox::Information) {
                    fireBehindAlert(*source, fake, row.events);
                }
            });
            controller.makeButton()->click();
            ASSERT_TRUE(controller.busy());
            source->fire(row.events);
            ASSERT_TRUE(answerer.waitForAlerts(2));
            break;
        }
        case When::RefreshClicked:
            controller.refreshButton()->click();
            break;
        }
        waitForListings(fake, row.listingsAfter);
        // A second listing, if one were coming, would come within this.
        test::settle(2 * MakerController::settleMilliseconds);

        EXPECT_EQ(fake.count(listCommand), row.listingsAfter);
        EXPECT_EQ(popupDisks(controller), row.items);
        EXPECT_EQ(selectedDisk(controller), row.selected);
        const auto all = test::logMessages(controller);
        std::vector<std::string> lines(all.begin() + static_cast<std::ptrdiff_t>(startLines.size()), all.end());
        if (row.when == When::DuringRun && lines.size() > row.lines.size()) {
            lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(row.lines.size()));
        }
        EXPECT_EQ(lines, row.lines);
    }
}

} // namespace
} // namespace sarnovelle
