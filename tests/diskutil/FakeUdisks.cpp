#include "FakeUdisks.h"

#include "linux/diskutil/Helpers.h"

#include "core/UniqueFd.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <chrono>
#include <future>
#include <stdexcept>

extern char** environ;

namespace sarnovelle::test {

namespace {

constexpr const char* root = "/org/freedesktop/UDisks2";
const std::string errorPrefix = "org.freedesktop.UDisks2.Error.";

std::string blockPath(const std::string& name)
{
    return std::string(root) + "/block_devices/" + name;
}

std::string drivePath(const std::string& id)
{
    return std::string(root) + "/drives/" + id;
}

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

std::vector<std::string> pointsOf(UDisksFilesystem* filesystem)
{
    std::vector<std::string> points;
    if (const gchar* const* list = udisks_filesystem_get_mount_points(filesystem)) {
        for (; *list != nullptr; ++list) {
            points.emplace_back(*list);
        }
    }
    return points;
}

void flush(gpointer interface)
{
    g_dbus_interface_skeleton_flush(G_DBUS_INTERFACE_SKELETON(interface));
}

} // namespace

// The service's answers, called on its thread by the skeletons.
struct FakeUdisks::Handlers {
    static gboolean format(UDisksBlock* block, GDBusMethodInvocation* invocation, const gchar* type,
                           GVariant* options, gpointer data)
    {
        auto* self = static_cast<FakeUdisks*>(data);
        const std::string disk = self->nameOf(block);
        self->record("Format " + disk + " " + type, options);
        if (self->refused("Format", invocation)) {
            return TRUE;
        }
        // The old partitions go, an empty table of the type takes their place.
        const GObjectList objects(g_dbus_object_manager_get_objects(G_DBUS_OBJECT_MANAGER(self->server_.get())));
        for (GList* item = objects.get(); item != nullptr; item = item->next) {
            UDisksPartition* partition = udisks_object_peek_partition(UDISKS_OBJECT(item->data));
            if (partition != nullptr && blockPath(disk) == udisks_partition_get_table(partition)) {
                g_dbus_object_manager_server_unexport(self->server_.get(),
                                                      g_dbus_object_get_object_path(G_DBUS_OBJECT(item->data)));
            }
        }
        UDisksObjectSkeleton* object = self->object(blockPath(disk));
        udisks_object_skeleton_set_filesystem(object, nullptr);
        const GObjectPtr<UDisksPartitionTable> table = adoptObject(udisks_partition_table_skeleton_new());
        udisks_partition_table_set_type_(table.get(), type);
        udisks_object_skeleton_set_partition_table(object, table.get());
        g_signal_connect(table.get(), "handle-create-partition-and-format", G_CALLBACK(create), self);
        udisks_block_complete_format(block, invocation);
        return TRUE;
    }

    static gboolean create(UDisksPartitionTable* table, GDBusMethodInvocation* invocation, guint64 offset,
                           guint64 size, const gchar* type, const gchar*, GVariant* options, const gchar* formatType,
                           GVariant* formatOptions, gpointer data)
    {
        auto* self = static_cast<FakeUdisks*>(data);
        const std::string disk = self->nameOf(table);
        const gchar* label = "";
        g_variant_lookup(formatOptions, "label", "&s", &label);
        self->record("CreatePartitionAndFormat " + disk + " " + std::to_string(offset) + " " + std::to_string(size)
                         + " " + type + " " + formatType + " " + label,
                     options);
        self->record("", formatOptions);
        if (self->refused("CreatePartitionAndFormat", invocation)) {
            return TRUE;
        }
        UDisksBlock* diskBlock = udisks_object_peek_block(UDISKS_OBJECT(self->object(blockPath(disk))));
        const dev_t device = udisks_block_get_device_number(diskBlock);
        const std::string name = disk + "1";
        self->partition(disk, name, 1, major(device), minor(device) + 1, formatType);
        UDisksObjectSkeleton* created = self->object(blockPath(name));
        UDisksBlock* block = udisks_object_peek_block(UDISKS_OBJECT(created));
        udisks_block_set_id_version(block, self->newVersion_.c_str());
        udisks_block_set_id_label(block, label);
        flush(block);
        if (self->automount_) {
            self->mountAt(udisks_object_peek_filesystem(UDISKS_OBJECT(created)),
                          {"/media/alice/" + std::string(label)});
        }
        udisks_partition_table_complete_create_partition_and_format(table, invocation, blockPath(name).c_str());
        return TRUE;
    }

    static gboolean mount(UDisksFilesystem* filesystem, GDBusMethodInvocation* invocation, GVariant* options,
                          gpointer data)
    {
        auto* self = static_cast<FakeUdisks*>(data);
        const std::string name = self->nameOf(filesystem);
        self->record("Mount " + name, options);
        if (self->refused("Mount", invocation)) {
            return TRUE;
        }
        if (const auto points = pointsOf(filesystem); !points.empty()) {
            g_dbus_method_invocation_return_dbus_error(
                invocation, (errorPrefix + "AlreadyMounted").c_str(),
                ("Device /dev/" + name + " is already mounted at `" + points.front() + "'.").c_str());
            return TRUE;
        }
        UDisksBlock* block = udisks_object_peek_block(UDISKS_OBJECT(self->object(blockPath(name))));
        const std::string label = udisks_block_get_id_label(block) != nullptr ? udisks_block_get_id_label(block) : "";
        const std::string point = "/media/alice/" + (label.empty() ? name : label);
        self->mountAt(filesystem, {point});
        udisks_filesystem_complete_mount(filesystem, invocation, point.c_str());
        return TRUE;
    }

    static gboolean unmount(UDisksFilesystem* filesystem, GDBusMethodInvocation* invocation, GVariant* options,
                            gpointer data)
    {
        auto* self = static_cast<FakeUdisks*>(data);
        const std::string name = self->nameOf(filesystem);
        self->record("Unmount " + name, options);
        if (self->refused("Unmount", invocation)) {
            return TRUE;
        }
        auto points = pointsOf(filesystem);
        if (self->busy_.contains(name) && !points.empty()) {
            g_dbus_method_invocation_return_dbus_error(invocation, (errorPrefix + "DeviceBusy").c_str(),
                                                       ("Error unmounting /dev/" + name + ": target is busy").c_str());
            return TRUE;
        }
        if (points.empty()) {
            g_dbus_method_invocation_return_dbus_error(invocation, (errorPrefix + "NotMounted").c_str(),
                                                       ("Device `/dev/" + name + "' is not mounted").c_str());
            return TRUE;
        }
        points.erase(points.begin());
        self->mountAt(filesystem, points);
        udisks_filesystem_complete_unmount(filesystem, invocation);
        return TRUE;
    }

    static gboolean powerOff(UDisksDrive* drive, GDBusMethodInvocation* invocation, GVariant* options, gpointer data)
    {
        auto* self = static_cast<FakeUdisks*>(data);
        self->record("PowerOff " + self->nameOf(drive), options);
        if (!self->refused("PowerOff", invocation)) {
            udisks_drive_complete_power_off(drive, invocation);
        }
        return TRUE;
    }

    static gboolean eject(UDisksDrive* drive, GDBusMethodInvocation* invocation, GVariant* options, gpointer data)
    {
        auto* self = static_cast<FakeUdisks*>(data);
        self->record("Eject " + self->nameOf(drive), options);
        if (!self->refused("Eject", invocation)) {
            udisks_drive_complete_eject(drive, invocation);
        }
        return TRUE;
    }
};

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
    if (::posix_spawn(&daemon_, program->c_str(), nullptr, nullptr, arguments.data(), environ) != 0) {
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
            server_ = adoptObject(g_dbus_object_manager_server_new(root));
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
            (*job->work)();
            job->done.set_value();
            return G_SOURCE_REMOVE;
        },
        &job, nullptr);
    g_source_attach(source, context_);
    g_source_unref(source);
    finished.wait();
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
        const GObjectPtr<UDisksObjectSkeleton> object = adoptObject(udisks_object_skeleton_new(blockPath(name).c_str()));
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

void FakeUdisks::partition(const std::string& disk, const std::string& name, unsigned number, unsigned major,
                           unsigned minor, const std::string& type, const std::vector<std::string>& mountPoints)
{
    const auto make = [&, this] {
        const GObjectPtr<UDisksObjectSkeleton> object = adoptObject(udisks_object_skeleton_new(blockPath(name).c_str()));
        const GObjectPtr<UDisksBlock> block = adoptObject(udisks_block_skeleton_new());
        udisks_block_set_device(block.get(), ("/dev/" + name).c_str());
        udisks_block_set_device_number(block.get(), makedev(major, minor));
        udisks_block_set_drive(block.get(), udisks_block_get_drive(udisks_object_peek_block(
                                                UDISKS_OBJECT(this->object(blockPath(disk))))));
        udisks_block_set_id_usage(block.get(), "filesystem");
        udisks_block_set_id_type(block.get(), type.c_str());
        g_signal_connect(block.get(), "handle-format", G_CALLBACK(Handlers::format), this);
        udisks_object_skeleton_set_block(object.get(), block.get());
        const GObjectPtr<UDisksPartition> partition = adoptObject(udisks_partition_skeleton_new());
        udisks_partition_set_table(partition.get(), blockPath(disk).c_str());
        udisks_partition_set_number(partition.get(), number);
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
