// The window as the desktop tier watches it: the real MakerController with
// the platform's disk watcher, on Qt's offscreen platform (the guest has no
// display), writing one line to a file each time the disks in its pop-up
// or the selected one change:
//   <seconds since start>\t<id,id,...>\t<selected id or ->
// Arguments: <share folder with BOOTX64.EFI and Info.plist> <disk utility>
// <output file>. Runs until it is killed.

#include "ui/DiskWatcher.h"
#include "ui/MakerController.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <share folder> <disk utility> <output file>\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    sarnovelle::DiskEnv env;
    env.diskutil = argv[2];
    sarnovelle::MakerController controller(sarnovelle::Bundle::inFolder(argv[1]), env,
                                           sarnovelle::makeDiskWatcher());
    std::ofstream out(argv[3], std::ios::app);
    QElapsedTimer clock;
    clock.start();
    std::string last;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        std::string ids;
        for (const auto& disk : controller.disks()) {
            ids += (ids.empty() ? "" : ",") + disk.id;
        }
        const int index = controller.diskPopup()->currentIndex();
        const std::string selected
            = index >= 0 && index < static_cast<int>(controller.disks().size()) ? controller.disks()[index].id : "-";
        const std::string state = ids + "\t" + selected;
        if (state != last) {
            last = state;
            out << clock.elapsed() / 1000.0 << "\t" << state << std::endl;
        }
    });
    poll.start(50);
    return application.exec();
}
