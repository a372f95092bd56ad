#pragma once

#include "TempDir.h"
#include "linux/diskutil/backends/udisks/GlibHandles.h"

#include <udisks/udisks.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sarnovelle::test {

using standin::adoptObject;
using standin::GErrorSlot;
using standin::GObjectList;
using standin::GObjectPtr;

// A stand-in for the udisks2 service on a private D-Bus daemon of its own
// (a real dbus-daemon child on a socket in a temporary folder, where
// nothing can be started by activation): it exports the service's
// interfaces with libudisks2's own skeletons, answers Format,
// CreatePartitionAndFormat, Mount, Unmount, PowerOff and Eject as the
// service does (mount points, AlreadyMounted, DeviceBusy, NotMounted) and
// writes down every call. It runs on a thread of its own, so that the
// code under test waits on the bus as it does against the real service.
class FakeUdisks {
public:
    // Starts the bus; with `ownName` false, the service stays away from it.
    explicit FakeUdisks(bool ownName = true);
    ~FakeUdisks();
    FakeUdisks(const FakeUdisks&) = delete;
    FakeUdisks& operator=(const FakeUdisks&) = delete;

    std::string address() const { return address_; }

    void drive(const std::string& id, bool canPowerOff);
    // A whole disk with a DOS partition table, on the drive.
    void disk(const std::string& name, unsigned major, unsigned minor, const std::string& drive);
    // Partition `number` of the disk with a file system of `type`, mounted
    // at the given places, starting `offset` bytes into the disk.
    void partition(const std::string& disk, const std::string& name, unsigned number, unsigned major, unsigned minor,
                   const std::string& type, const std::vector<std::string>& mountPoints = {},
                   std::uint64_t offset = 1 << 20);
    // The partition holds a partition table too (an installer image's
    // first partition starts at sector 0 over the disk's own table); the
    // service then refuses to erase it.
    void holdsTable(const std::string& name);

    // Unmount of the volume fails as with a file held open on it.
    void busy(const std::string& name) { run([&] { busy_.insert(name); }); }
    // Every call of the method fails with the udisks2 error name.
    void refuse(const std::string& method, const std::string& error) { run([&] { refusals_[method] = error; }); }
    // The method does its work but answers as udisks2 does when its own
    // view of the device lags behind: "Timed out waiting for object".
    void late(const std::string& method) { run([&] { late_.insert(method); }); }
    // An automounter mounts every new file system before anyone asks.
    void automount() { run([&] { automount_ = true; }); }
    // The IdVersion the new vfat file system shows ("FAT32" unless set).
    void newVersion(const std::string& version) { run([&] { newVersion_ = version; }); }

    // "Unmount sdb1", "Format sdb dos", "CreatePartitionAndFormat sdb
    // 1048576 1073741824 0x0c vfat SARNOVELLE", "Mount sdb1",
    // "PowerOff Stick", "Eject Stick", in the order they came.
    std::vector<std::string> calls() const;
    // Calls whose options did not allow the desktop's password dialog.
    int nonInteractiveCalls() const;
    std::vector<std::string> mountPoints(const std::string& name) const;

private:
    struct Handlers;
    void run(const std::function<void()>& work) const;
    void stop();
    UDisksObjectSkeleton* object(const std::string& path) const;
    std::string nameOf(gpointer interface) const;
    bool refused(const std::string& method, GDBusMethodInvocation* invocation) const;
    // Answers "Timed out waiting for object" when the method is set late.
    bool answeredLate(const std::string& method, GDBusMethodInvocation* invocation) const;
    void record(const std::string& call, GVariant* options);
    void mountAt(UDisksFilesystem* filesystem, std::vector<std::string> points);

    TempDir folder_;
    pid_t daemon_ = -1;
    std::string address_;
    bool ownName_;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;

    // Touched on the service's thread only.
    GObjectPtr<GDBusConnection> connection_;
    GObjectPtr<GDBusObjectManagerServer> server_;
    std::set<std::string> busy_;
    std::set<std::string> late_;
    std::map<std::string, std::string> refusals_;
    bool automount_ = false;
    std::string newVersion_ = "FAT32";
    std::vector<std::string> calls_;
    int nonInteractive_ = 0;
};

} // namespace sarnovelle::test
