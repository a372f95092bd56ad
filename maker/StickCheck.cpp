#include "maker/StickCheck.h"

#include "core/MakerError.h"
#include "disks/DiskName.h"
#include "maker/FileIo.h"
#include "maker/MountWait.h"
#include "maker/StickLayout.h"
#include "maker/StickLock.h"

#include <algorithm>
#include <filesystem>

namespace sarnovelle {

namespace {

// The check's verdict once the stick is found wanting.
struct NotReady {
    std::string reason;
};

PlistDict infoOf(const DiskEnv& env, const std::string& identifier)
{
    auto info = diskutilPlist(env, {"info", "-plist", identifier});
    if (!info) {
        throw MakerError("the disk utility has no information on " + identifier);
    }
    return std::move(*info);
}

// The boot file's SHA-256, read back from the medium.
std::string bootFileDigest(const std::string& mountPoint, const LogSink& log)
{
    const std::string bootFile = mountPoint + "/EFI/BOOT/BOOTX64.EFI";
    std::error_code error;
    if (!std::filesystem::is_regular_file(bootFile, error)) {
        throw NotReady{"no boot file"};
    }
    log("Reading back " + bootFile);
    const std::string digest = sha256OfFileUncached(bootFile);
    log("Read back SHA-256 " + digest);
    return digest;
}

// Mounts the partition read-only when nobody has, reads the boot file's
// digest and unmounts again what it mounted, whatever the read gave.
std::string digestOnStick(const PlistDict& partitionInfo, const std::string& partition, const DiskEnv& env,
                          const LogSink& log)
{
    const std::string mounted = partitionInfo.text("MountPoint").value_or("");
    if (!mounted.empty()) {
        log(partition + " is mounted at " + mounted + "; reading it there");
        return bootFileDigest(mounted, log);
    }
    log("Mounting " + partition + " read-only");
    const ToolResult mount = runTool(env.diskutil, {"mount", "readOnly", partition});
    logTool(mount, log);
    if (mount.status != 0) {
        throw NotReady{"partition 1 cannot be mounted read-only (exit " + std::to_string(mount.status)
                       + "; see the diskutil lines above)"};
    }
    const auto unmount = [&] {
        log("Unmounting " + partition);
        const ToolResult result = runTool(env.diskutil, {"unmount", partition});
        logTool(result, log);
        if (result.status != 0) {
            log(partition + " stays mounted read-only: unmount it in the file manager.");
        }
    };
    std::string digest;
    try {
        digest = bootFileDigest(waitForMount(env, partition), log);
    } catch (...) {
        unmount();
        throw;
    }
    unmount();
    return digest;
}

} // namespace

StickVerdict checkStick(const UsbDisk& disk, const std::string& imageHash, const LogSink& log, const DiskEnv& env)
{
    try {
        // No run may prepare the stick while it is checked.
        const StickLock lock(disk, env);
        log("Checking " + disk.id + " without changing it");
        const PlistDict diskInfo = infoOf(env, disk.id);
        if (std::string problem = tableProblem(diskInfo); !problem.empty()) {
            throw NotReady{std::move(problem)};
        }
        const std::string partition = firstPartitionId(disk.id);
        log("Partition table: MBR with one partition; reading " + partition);
        const PlistDict partitionInfo = infoOf(env, partition);
        if (std::string problem = partitionProblem(partitionInfo); !problem.empty()) {
            throw NotReady{std::move(problem)};
        }
        const std::string digest = digestOnStick(partitionInfo, partition, env, log);
        if (digest != imageHash) {
            throw NotReady{"the boot file differs from this image: SHA-256 " + digest};
        }
        return {true, "READY: " + disk.id + " holds this image (SHA-256 " + digest + ")."};
    } catch (const NotReady& notReady) {
        return {false, "NOT READY: " + notReady.reason + "."};
    } catch (const MakerError& error) {
        return {false, "NOT READY: " + error.message()};
    } catch (const std::exception& error) {
        return {false, std::string("NOT READY: ") + error.what()};
    }
}

std::variant<UsbDisk, std::string> checkableDisk(const UsbDiskSurvey& survey, const std::string& id,
                                                 const DiskEnv& env)
{
    const auto offered = std::find_if(survey.disks.begin(), survey.disks.end(),
                                      [&](const UsbDisk& disk) { return disk.id == id; });
    if (offered != survey.disks.end()) {
        return *offered;
    }
    const auto leftOut = std::find_if(survey.leftOut.begin(), survey.leftOut.end(),
                                      [&](const LeftOutDisk& left) { return left.id == id; });
    if (leftOut == survey.leftOut.end()) {
        return std::string("no such USB disk");
    }
    if (leftOut->reason != writeProtectedReason) {
        return "left out: " + leftOut->reason;
    }
    UsbDisk disk;
    disk.id = id;
    disk.serial = usbSerial(env, id);
    disk.sequence = diskSequence(env, id);
    return disk;
}

} // namespace sarnovelle
