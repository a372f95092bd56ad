#include "FakeUdisks.h"
#include "FakeUdisksHandlers.h"

#include "linux/diskutil/devices/Helpers.h"

#include "core/UniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <stdexcept>

namespace sarnovelle::test {

namespace {

// Whether something accepts connections on the socket.
bool listening(const std::filesystem::path& socket)
{
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (!fd || path.size() >= sizeof address.sun_path) {
        return false;
    }
    path.copy(address.sun_path, path.size());
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

} // namespace

FakeUdisks::FakeUdisks(bool ownName) : ownName_(ownName)
{
    // A bus of its own: anyone may own a name, nothing is activated.
    const auto socket = folder_ / "bus";
    const auto config = folder_.write(
        "bus.conf", "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                    "<busconfig><type>session</type><listen>unix:path=" + socket.string() + "</listen>"
                    "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                    "<allow send_destination=\"*\"/><allow send_type=\"method_call\"/>"
                    "<allow send_requested_reply=\"true\"/><allow receive_sender=\"*\"/>"
                    "<allow receive_type=\"method_call\"/><allow receive_requested_reply=\"true\"/>"
                    "<allow receive_type=\"signal\"/></policy></busconfig>\n");
    const auto program = standin::findHelper("dbus-daemon");
    if (!program) {
        throw std::runtime_error("dbus-daemon is missing");
    }
    const std::string configArgument = "--config-file=" + config.string();
    std::vector<char*> arguments{const_cast<char*>("dbus-daemon"), const_cast<char*>(configArgument.c_str()),
                                 const_cast<char*>("--nofork"), nullptr};
    // Its complaints (it may not raise its descriptor limit here) go to a
    // file; it ends with the test program even when that one crashes.
    const std::string log = (folder_ / "dbus-daemon.log").string();
    daemon_ = ::fork();
    if (daemon_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 2);
        }
        ::execv(program->c_str(), arguments.data());
        ::_exit(127);
    }
    if (daemon_ < 0) {
        throw std::runtime_error("dbus-daemon could not be started");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listening(socket)) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
            throw std::runtime_error("dbus-daemon did not open its socket");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    address_ = "unix:path=" + socket.string();
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    std::promise<std::string> started;
    thread_ = std::thread([this, &started] {
        g_main_context_push_thread_default(context_);
        GErrorSlot error;
        const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                                             | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
        connection_ = adoptObject(
            g_dbus_connection_new_for_address_sync(address_.c_str(), flags, nullptr, nullptr, error));
        if (connection_) {
            server_ = adoptObject(g_dbus_object_manager_server_new(udisksRoot));
            g_dbus_object_manager_server_set_connection(server_.get(), connection_.get());
        }
        if (connection_ && ownName_) {
            GVariant* reply = g_dbus_connection_call_sync(
                connection_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                "RequestName", g_variant_new("(su)", "org.freedesktop.UDisks2", 4U), G_VARIANT_TYPE("(u)"),
                G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error);
            if (reply != nullptr) {
                g_variant_unref(reply);
            }
        }
        started.set_value(error.failed() ? error.message() : std::string());
        g_main_loop_run(loop_);
        server_.reset();
        if (connection_) {
            g_dbus_connection_close_sync(connection_.get(), nullptr, nullptr);
        }
        connection_.reset();
        g_main_context_pop_thread_default(context_);
    });
    if (const std::string problem = started.get_future().get(); !problem.empty()) {
        stop();
        throw std::runtime_error("The fake udisks2 could not start: " + problem);
    }
}

FakeUdisks::~FakeUdisks()
{
    stop();
}

void FakeUdisks::stop()
{
    run([this] { g_main_loop_quit(loop_); });
    thread_.join();
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
}

void FakeUdisks::run(const std::function<void()>& work) const
{
    struct Job {
        const std::function<void()>* work;
        std::promise<void> done;
    } job{&work, {}};
    auto finished = job.done.get_future();
    GSource* source = g_idle_source_new();
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            auto* job = static_cast<Job*>(data);
            try {
                (*job->work)();
                job->done.set_value();
            } catch (...) {
                // Carried to the test's thread: nothing may unwind through GLib.
                job->done.set_exception(std::current_exception());
            }
            return G_SOURCE_REMOVE;
        },
        &job, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
    finished.get();
}

UDisksObjectSkeleton* FakeUdisks::object(const std::string& path) const
{
    GDBusObject* found = g_dbus_object_manager_get_object(G_DBUS_OBJECT_MANAGER(server_.get()), path.c_str());
    if (found == nullptr) {
        throw std::logic_error("The fake udisks2 has no object " + path);
    }
    g_object_unref(found); // the server keeps it
    return UDISKS_OBJECT_SKELETON(found);
}

std::string FakeUdisks::nameOf(gpointer interface) const
{
    const std::string path = g_dbus_interface_skeleton_get_object_path(G_DBUS_INTERFACE_SKELETON(interface));
    return path.substr(path.rfind('/') + 1);
}

bool FakeUdisks::refused(const std::string& method, GDBusMethodInvocation* invocation) const
{
    const auto refusal = refusals_.find(method);
    if (refusal == refusals_.end()) {
        return false;
    }
    g_dbus_method_invocation_return_dbus_error(invocation, (errorPrefix + refusal->second).c_str(),
                                               "Not authorized to perform operation");
    return true;
}

bool FakeUdisks::answeredLate(const std::string& method, GDBusMethodInvocation* invocation) const
{
    if (!late_.contains(method)) {
        return false;
    }
    g_dbus_method_invocation_return_dbus_error(invocation, (errorPrefix + "Failed").c_str(),
                                               "Error synchronizing after formatting with type `vfat': "
                                               "Timed out waiting for object");
    return true;
}

void FakeUdisks::record(const std::string& call, GVariant* options)
{
    gboolean noInteraction = FALSE;
    if (g_variant_lookup(options, "auth.no_user_interaction", "b", &noInteraction) && noInteraction) {
        ++nonInteractive_;
    }
    if (!call.empty()) {
        calls_.push_back(call);
    }
}

void FakeUdisks::mountAt(UDisksFilesystem* filesystem, std::vector<std::string> points)
{
    std::vector<const gchar*> list;
    for (const auto& point : points) {
        list.push_back(point.c_str());
    }
    list.push_back(nullptr);
    udisks_filesystem_set_mount_points(filesystem, list.data());
    flush(filesystem);
}

void FakeUdisks::drive(const std::string& id, bool canPowerOff)
{
    run([&] {
        const GObjectPtr<UDisksObjectSkeleton> object
            = adoptObject(udisks_object_skeleton_new(drivePath(id).c_str()));
        const GObjectPtr<UDisksDrive> properties = adoptObject(udisks_drive_skeleton_new());
        udisks_drive_set_can_power_off(properties.get(), canPowerOff);
        udisks_drive_set_connection_bus(properties.get(), "usb");
        udisks_drive_set_removable(properties.get(), TRUE);
        g_signal_connect(properties.get(), "handle-power-off", G_CALLBACK(Handlers::powerOff), this);
        g_signal_connect(properties.get(), "handle-eject", G_CALLBACK(Handlers::eject), this);
        udisks_object_skeleton_set_drive(object.get(), properties.get());
        g_dbus_object_manager_server_export(server_.get(), G_DBUS_OBJECT_SKELETON(object.get()));
    });
}

void FakeUdisks::disk(const std::string& name, unsigned major, unsigned minor, const std::string& drive)
{
    run([&] {
        const GObjectPtr<UDisksObjectSkeleton> object
            = adoptObject(udisks_object_skeleton_new(blockPath(name).c_str()));
        const GObjectPtr<UDisksBlock> block = adoptObject(udisks_block_skeleton_new());
        udisks_block_set_device(block.get(), ("/dev/" + name).c_str());
        udisks_block_set_device_number(block.get(), makedev(major, minor));
        udisks_block_set_drive(block.get(), drivePath(drive).c_str());
        udisks_block_set_id_usage(block.get(), "");
        g_signal_connect(block.get(), "handle-format", G_CALLBACK(Handlers::format), this);
        udisks_object_skeleton_set_block(object.get(), block.get());
        const GObjectPtr<UDisksPartitionTable> table = adoptObject(udisks_partition_table_skeleton_new());
        udisks_partition_table_set_type_(table.get(), "dos");
        g_signal_connect(table.get(), "handle-create-partition-and-format", G_CALLBACK(Handlers::create), this);
        udisks_object_skeleton_set_partition_table(object.get(), table.get());
        g_dbus_object_manager_server_export(server_.get(), G_DBUS_OBJECT_SKELETON(object.get()));
    });
}

void FakeUdisks::holdsTable(const std::string& name)
{
    run([&] {
        const GObjectPtr<UDisksPartitionTable> table = adoptObject(udisks_partition_table_skeleton_new());
        udisks_partition_table_set_type_(table.get(), "dos");
        udisks_object_skeleton_set_partition_table(object(blockPath(name)), table.get());
    });
}

namespace {

// udisks2's IdUsage for what libblkid calls `type`.
const char* usageOf(const std::string& type)
{
    if (type.empty()) {
        return "";
    }
    if (type == "linux_raid_member" || type == "LVM2_member") {
        return "raid";
    }
    if (type == "crypto_LUKS") {
        return "crypto";
    }
    return type == "swap" || type == "bcache" ? "other" : "filesystem";
}

} // namespace

void FakeUdisks::partition(const std::string& disk, const std::string& name, unsigned number, unsigned major,
                           unsigned minor, const std::string& type, const std::vector<std::string>& mountPoints,
                           std::uint64_t offset)
{
    const auto make = [&, this] {
        const GObjectPtr<UDisksObjectSkeleton> object
            = adoptObject(udisks_object_skeleton_new(blockPath(name).c_str()));
        const GObjectPtr<UDisksBlock> block = adoptObject(udisks_block_skeleton_new());
        udisks_block_set_device(block.get(), ("/dev/" + name).c_str());
        udisks_block_set_device_number(block.get(), makedev(major, minor));
        udisks_block_set_drive(block.get(), udisks_block_get_drive(udisks_object_peek_block(
                                                UDISKS_OBJECT(this->object(blockPath(disk))))));
        udisks_block_set_id_usage(block.get(), usageOf(type));
        udisks_block_set_id_type(block.get(), type.c_str());
        g_signal_connect(block.get(), "handle-format", G_CALLBACK(Handlers::format), this);
        udisks_object_skeleton_set_block(object.get(), block.get());
        const GObjectPtr<UDisksPartition> partition = adoptObject(udisks_partition_skeleton_new());
        udisks_partition_set_table(partition.get(), blockPath(disk).c_str());
        udisks_partition_set_number(partition.get(), number);
        udisks_partition_set_offset(partition.get(), offset);
        udisks_object_skeleton_set_partition(object.get(), partition.get());
        const GObjectPtr<UDisksFilesystem> filesystem = adoptObject(udisks_filesystem_skeleton_new());
        mountAt(filesystem.get(), mountPoints);
        g_signal_connect(filesystem.get(), "handle-mount", G_CALLBACK(Handlers::mount), this);
        g_signal_connect(filesystem.get(), "handle-unmount", G_CALLBACK(Handlers::unmount), this);
        udisks_object_skeleton_set_filesystem(object.get(), filesystem.get());
        g_dbus_object_manager_server_export(server_.get(), G_DBUS_OBJECT_SKELETON(object.get()));
    };
    if (std::this_thread::get_id() == thread_.get_id()) {
        make();
    } else {
        run(make);
    }
}

std::vector<std::string> FakeUdisks::calls() const
{
    std::vector<std::string> calls;
    run([&] { calls = calls_; });
    return calls;
}

int FakeUdisks::nonInteractiveCalls() const
{
    int count = 0;
    run([&] { count = nonInteractive_; });
    return count;
}

std::vector<std::string> FakeUdisks::mountPoints(const std::string& name) const
{
    std::vector<std::string> points;
    run([&] { points = pointsOf(udisks_object_peek_filesystem(UDISKS_OBJECT(object(blockPath(name))))); });
    return points;
}

} // namespace sarnovelle::test
