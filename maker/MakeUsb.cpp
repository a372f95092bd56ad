#include "maker/MakeUsb.h"

#include "core/Config.h"
#include "core/MakerError.h"
#include "disks/DiskName.h"
#include "maker/FileIo.h"
#include "maker/MountWait.h"
#include "maker/StickLock.h"

#include <filesystem>
#include <vector>

namespace sarnovelle {

namespace {

const std::string diskChanged = "The selected USB disk changed. Click Refresh and select it again.";

std::string replaced(const UsbDisk& disk)
{
    return "The USB disk " + disk.id
           + " was pulled, replaced or attached again during the run; nothing more is done to any disk.";
}

// Runs the disk utility and logs its output lines before anyone looks at
// the exit status, so that a failure message can point to them.
std::int32_t runDiskutil(const DiskEnv& env, const std::vector<std::string>& arguments, const LogSink& log)
{
    const ToolResult result = runTool(env.diskutil, arguments);
    logTool(result, log);
    return result.status;
}

// The chosen disk must still be listed with the same serial number and
// size; otherwise another stick may sit under the same name. The same
// stick left out because something uses it now is said to be in use.
void recheck(const UsbDisk& chosen, const DiskEnv& env)
{
    const UsbDiskSurvey survey = surveyUsbDisks(env);
    for (const LeftOutDisk& disk : survey.leftOut) {
        if (disk.id == chosen.id && disk.reason.starts_with("in use by ")
            && (!chosen.sequence || diskSequence(env, chosen.id) == chosen.sequence)) {
            throw MakerError("The selected USB disk " + chosen.id + " is " + disk.reason + "; nothing was changed.");
        }
    }
    for (const UsbDisk& disk : survey.disks) {
        if (disk.id != chosen.id) {
            continue;
        }
        if (disk.serial != chosen.serial || disk.size != chosen.size || disk.sequence != chosen.sequence) {
            throw MakerError(diskChanged);
        }
        return;
    }
    throw MakerError(diskChanged);
}

// Right before each change and before the read-back: the disk under the
// chosen name is still the one that was listed. Its sequence number
// changes with every attach; where the platform has none, the serial
// number is what is left to compare. Both are read without running the
// disk utility.
bool isSameDisk(const UsbDisk& chosen, const DiskEnv& env)
{
    return (!chosen.sequence || diskSequence(env, chosen.id) == chosen.sequence)
           && usbSerial(env, chosen.id) == chosen.serial;
}

void confirmSameDisk(const UsbDisk& chosen, const DiskEnv& env)
{
    if (!isSameDisk(chosen, env)) {
        throw MakerError(replaced(chosen));
    }
}

} // namespace

MakeUsbResult makeUsb(const UsbDisk& disk, const Bytes& image, const std::string& imageHash, const LogSink& log,
                      const DiskEnv& env)
{
    const StickLock lock(disk, env);
    recheck(disk, env);

    const std::string devicePath = "/dev/" + disk.id;
    const std::string partition = firstPartitionId(disk.id);
    const std::string volumeLabel(Config::volumeLabel);
    const std::string sizeArgument = std::to_string(Config::partitionMiB * 2048) + "S";

    log("Erasing " + disk.id + " and creating FAT32 partition " + volumeLabel);
    confirmSameDisk(disk, env);
    const std::int32_t partitionStatus = runDiskutil(
        env,
        {"partitionDisk", devicePath, "MBR", "MS-DOS FAT32", volumeLabel, sizeArgument, "Free Space", "none", "R"},
        log);
    if (partitionStatus != 0) {
        throw MakerError("diskutil partitionDisk failed (exit " + std::to_string(partitionStatus)
                         + "). See the diskutil lines above.");
    }

    const std::string mountPoint = waitForMount(env, partition);
    const std::string bootDirectory = mountPoint + "/EFI/BOOT";
    const std::string bootFile = bootDirectory + "/BOOTX64.EFI";
    log("Writing " + bootFile);
    confirmSameDisk(disk, env);
    // Throws std::filesystem::filesystem_error, passed on unchanged.
    std::filesystem::create_directories(bootDirectory);
    writeFile(bootFile, image);

    log("Remounting " + partition + " to read back from the disk");
    confirmSameDisk(disk, env);
    const std::int32_t unmountStatus = runDiskutil(env, {"unmount", partition}, log);
    if (unmountStatus != 0) {
        throw MakerError("diskutil unmount failed (exit " + std::to_string(unmountStatus) + ").");
    }
    confirmSameDisk(disk, env);
    const std::int32_t mountStatus = runDiskutil(env, {"mount", partition}, log);
    if (mountStatus != 0) {
        throw MakerError("diskutil mount failed (exit " + std::to_string(mountStatus) + ").");
    }
    const std::string remountPoint = waitForMount(env, partition);
    confirmSameDisk(disk, env);

    // The digest is taken while the file is read, so that no second copy
    // of the image is held.
    const std::string readBackHash = sha256OfFileUncached(remountPoint + "/EFI/BOOT/BOOTX64.EFI");
    log("Read back SHA-256 " + readBackHash);
    if (readBackHash != imageHash) {
        throw MakerError("Read-back SHA-256 does not match the image.");
    }

    MakeUsbResult result;
    // The image is verified: a stick pulled now is ready, and there is
    // nothing left to eject. Whatever sits under its name by now is not
    // ejected.
    if (!isSameDisk(disk, env)) {
        log("The USB disk " + disk.id + " was pulled before it was ejected; it is ready.");
        return result;
    }
    if (runDiskutil(env, {"eject", devicePath}, log) != 0) {
        // Not a failure: the stick is prepared, only still mounted.
        log(std::string(ejectFailedLine));
        result.ejectFailed = true;
    }
    return result;
}

} // namespace sarnovelle
