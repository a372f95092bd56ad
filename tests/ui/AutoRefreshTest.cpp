// The disk list following the sticks: the window's answer to the disk
// events of a source standing where the platform's watcher stands.
#include "FakeDiskutil.h"
#include "FakeSysfs.h"
#include "TwoSticks.h"
#include "UiSupport.h"

#include "core/Sha256.h"
#include "ui/MakerController.h"

#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace sarnovelle {
namespace {

using test::listCommand;
using Ids = std::vector<std::string>;

// Disk events on demand (disksMayHaveChanged is public).
struct HandEvents : DiskWatcher {
    explicit HandEvents(bool starts) : starts(starts) {}
    bool start() override { return starts; }
    bool starts;
};

// Events come while idle, just before and behind the erase confirmation
// (answered Cancel), during a run of disk4 and behind its outcome; or none
// come and Refresh is clicked.
enum class When { Idle, Confirming, Running, Refresh };

struct Row {
    const char* name;
    std::vector<Ids> listings;   // the list's answers in turn, from the first on
    When when;
    Ids items;                   // in the pop-up afterwards
    std::string selected;        // afterwards; disk4 is selected before
    int listingsAfter;           // from the selection on
    Ids lines;                   // logged from the selection on (a run: its last)
    std::uint64_t disk4Size = 0; // another stick as disk4 with the events
    bool starts = true;          // false: gone, so no events (Refresh rows only)
    bool reattached = false;     // disk4 with a new disk sequence number with the events
};

const std::string moved = "The selected disk disk4 is no longer there; disk3 is selected now.";
const Row rows[] = {
    {"a burst, nothing changed: one listing, no line", {{"disk3", "disk4"}}, When::Idle, {"disk3", "disk4"}, "disk4", 1,
     {}},
    {"a stick plugged in; the selection stays with its disk", {{"disk3", "disk4"}, {"disk2", "disk3", "disk4"}},
     When::Idle, {"disk2", "disk3", "disk4"}, "disk4", 1, {"3 USB disk(s) found."}},
    {"the selected stick pulled out", {{"disk3", "disk4"}, {"disk3"}}, When::Idle, {"disk3"}, "disk3", 1,
     {"1 USB disk(s) found.", moved}},
    {"another stick now disk4 (size)", {{"disk3", "disk4"}}, When::Idle, {"disk3", "disk4"}, "disk3", 1,
     {"2 USB disk(s) found.", moved}, 32'000'000'000},
    {"a look-alike now disk4 (same serial and size, another disk sequence)", {{"disk3", "disk4"}}, When::Idle,
     {"disk3", "disk4"}, "disk3", 1, {"2 USB disk(s) found.", moved}, 0, true, true},
    {"behind the confirmation", {{"disk3", "disk4"}, {"disk3"}}, When::Confirming, {"disk3"}, "disk3", 1,
     {"1 USB disk(s) found.", moved}},
    {"during a run: only its end lists", {{"disk3", "disk4"}, {"disk3", "disk4"}, {"disk3"}}, When::Running, {"disk3"},
     "disk3", 2, {test::doneLine, "1 USB disk(s) found."}},
    {"Refresh keeps the selection", {{"disk3", "disk4"}, {"disk2", "disk3", "disk4"}}, When::Refresh,
     {"disk2", "disk3", "disk4"}, "disk4", 1, {"3 USB disk(s) found."}},
    {"no watcher: Refresh only", {{"disk3", "disk4"}, {"disk3"}}, When::Refresh, {"disk3"}, "disk3", 1,
     {"1 USB disk(s) found."}, 0, false},
};

TEST(AutoRefresh, DiskEventsListTheDisksOnceTheWindowIsIdle)
{
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        test::TempDir dir;
        test::FakeDiskutil fake{dir / "scenario"};
        test::FakeSysfs sysfs{fake.sysfsRoot()};
        test::addTwoSticks(fake, sysfs);
        fake.usbDisk("disk2", "New stick", 4'000'000'000);
        fake.simulateStick({.disk = "disk4", .mountDelay = 2}); // outlasts the wait
        std::vector<PlistDict> answers(row.listings.size());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            answers[i].setTextList("WholeDisks", row.listings[i]);
        }
        fake.answer(listCommand, answers);
        const auto setSequence = [&](const char* value) {
            std::filesystem::create_directories(fake.sysfsRoot() / "class/block/disk4");
            std::ofstream(fake.sysfsRoot() / "class/block/disk4/diskseq", std::ios::trunc) << value << "\n";
        };
        setSequence("41");
        auto owned = std::make_unique<HandEvents>(row.starts);
        HandEvents& events = *owned;
        const Bytes image = test::sampleImage();
        MakerController controller(test::writeBundle(dir, image, sha256Hex(image)), fake.env(), std::move(owned));
        const auto before = test::logMessages(controller);
        EXPECT_EQ(before[1] == "Sticks plugged in or pulled out show after a click on Refresh.", !row.starts);
        controller.diskPopup()->setCurrentIndex(controller.diskPopup()->count() - 1);
        fake.clearInvocations();
        const auto wait = [] { test::settle(2 * MakerController::settleMilliseconds); };
        const auto fire = [&events] {
            for (int i = 0; i < 3; ++i) {
                Q_EMIT events.disksMayHaveChanged();
            }
        };
        // Nothing may be listed behind an alert.
        const auto behindAlert = [&] {
            const int listed = fake.count(listCommand);
            fire();
            wait();
            EXPECT_EQ(fake.count(listCommand), listed);
        };
        test::AlertAnswerer answerer({QString::fromLatin1(row.when == When::Running ? "Erase" : "Cancel"),
                                      QStringLiteral("<Return>")});
        answerer.onAlert([&](const test::SeenAlert& alert) {
            if (row.when == When::Confirming || alert.icon == QMessageBox::Information) {
                behindAlert();
            }
        });
        if (row.disk4Size != 0) {
            fake.usbDisk("disk4", "SanDisk Ultra", row.disk4Size);
        }
        if (row.reattached) {
            setSequence("42");
        }
        if (row.when == When::Refresh) {
            controller.refreshButton()->click();
        } else {
            fire(); // the wait they start ends behind the alert or during the run
        }
        if (row.when == When::Confirming || row.when == When::Running) {
            controller.makeButton()->click();
            fire();
            ASSERT_TRUE(answerer.waitForAlerts(row.when == When::Running ? 2 : 1));
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return fake.count(listCommand) >= row.listingsAfter; }, 10000));
        wait(); // a second listing, if one were coming
        EXPECT_EQ(fake.count(listCommand), row.listingsAfter);
        Ids items;
        for (const UsbDisk& disk : controller.disks()) {
            items.push_back(disk.id);
        }
        EXPECT_EQ(items, row.items);
        EXPECT_EQ(controller.disks().at(static_cast<std::size_t>(controller.diskPopup()->currentIndex())).id,
                  row.selected);
        auto lines = test::logMessages(controller);
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before.size()));
        if (row.when == When::Running) {
            lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(row.lines.size()));
        }
        EXPECT_EQ(lines, row.lines);
    }
}

} // namespace
} // namespace sarnovelle
