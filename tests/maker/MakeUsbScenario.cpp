#include "MakeUsbScenario.h"

#include "TwoSticks.h"

#include "core/MakerError.h"
#include "core/Sha256.h"
#include "maker/MakeUsb.h"

namespace sarnovelle::test {

MakeUsbScenario::MakeUsbScenario()
{
    for (int i = 0; i < 70000; ++i) {
        image.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
    }
    imageHash = sha256Hex(image);

    addTwoSticks(fake, sysfs);
}

void MakeUsbScenario::run()
{
    makeUsb(chosen, image, imageHash, [this](const std::string& line) { lines.push_back(line); }, env);
}

std::string MakeUsbScenario::failure()
{
    try {
        run();
    } catch (const MakerError& error) {
        return error.message();
    }
    return "(no error)";
}

Arguments MakeUsbScenario::partitionCommand()
{
    return {"partitionDisk", "/dev/disk4", "MBR", "MS-DOS FAT32", "SARNOVELLE", "2097152S", "Free Space", "none", "R"};
}

std::vector<Arguments> MakeUsbScenario::listing()
{
    return {{"list", "-plist", "external", "physical"},
            {"info", "-plist", "/"},
            {"info", "-plist", "disk3"},
            {"info", "-plist", "disk4"}};
}

std::vector<std::string> MakeUsbScenario::partitionLines()
{
    return {"  diskutil: Started partitioning on disk4",
            "  diskutil: Unmounting disk",
            "  diskutil: Creating the partition map",
            "  diskutil: Formatting disk4p1 as MS-DOS (FAT32) with name SARNOVELLE",
            "  diskutil: Mounting disk",
            "  diskutil: Finished partitioning on disk4"};
}

std::string MakeUsbScenario::volume(const std::string& leaf) const
{
    return (fake.folder() / "volumes" / leaf).string();
}

} // namespace sarnovelle::test
