#include "FakeUdisksHandlers.h"

#include <sys/sysmacros.h>

namespace sarnovelle::test {

// The service's answers, called on its thread by the skeletons: each one
// writes the call down, fails it when a refusal is set, and otherwise
// changes the objects as udisks2 does before it replies.
gboolean FakeUdisks::Handlers::format(UDisksBlock* block, GDBusMethodInvocation* invocation, const gchar* type,
                                      GVariant* options, gpointer data)
{
    auto* self = static_cast<FakeUdisks*>(data);
    const std::string disk = self->nameOf(block);
    self->record("Format " + disk + " " + type, options);
    if (self->refused("Format", invocation)) {
        return TRUE;
    }
    UDisksObjectSkeleton* object = self->object(blockPath(disk));
    if (udisks_object_peek_partition(UDISKS_OBJECT(object)) != nullptr
        && udisks_object_peek_partition_table(UDISKS_OBJECT(object)) != nullptr) {
        g_dbus_method_invocation_return_dbus_error(
            invocation, "org.freedesktop.UDisks2.Error.Failed",
            "This partition cannot be modified because it contains a partition table; please reinitialize layout "
            "of the whole device.");
        return TRUE;
    }
    if (std::string(type) == "empty") {
        // Signatures wiped: no file system is left.
        udisks_object_skeleton_set_filesystem(object, nullptr);
        udisks_block_set_id_type(block, "");
        udisks_block_set_id_usage(block, "");
        flush(block);
        if (!self->answeredLate("Format", invocation)) {
            udisks_block_complete_format(block, invocation);
        }
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
    udisks_object_skeleton_set_filesystem(object, nullptr);
    const GObjectPtr<UDisksPartitionTable> table = adoptObject(udisks_partition_table_skeleton_new());
    udisks_partition_table_set_type_(table.get(), type);
    udisks_object_skeleton_set_partition_table(object, table.get());
    g_signal_connect(table.get(), "handle-create-partition-and-format", G_CALLBACK(Handlers::create), self);
    if (!self->answeredLate("Format", invocation)) {
        udisks_block_complete_format(block, invocation);
    }
    return TRUE;
}

gboolean FakeUdisks::Handlers::create(UDisksPartitionTable* table, GDBusMethodInvocation* invocation,
                                      guint64 offset, guint64 size, const gchar* type, const gchar*,
                                      GVariant* options, const gchar* formatType, GVariant* formatOptions,
                                      gpointer data)
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
    UDisksPartition* partition = udisks_object_peek_partition(UDISKS_OBJECT(created));
    udisks_partition_set_offset(partition, offset);
    udisks_partition_set_size(partition, size);
    flush(partition);
    if (self->automount_) {
        self->mountAt(udisks_object_peek_filesystem(UDISKS_OBJECT(created)),
                      {"/media/alice/" + std::string(label)});
    }
    if (!self->answeredLate("CreatePartitionAndFormat", invocation)) {
        udisks_partition_table_complete_create_partition_and_format(table, invocation, blockPath(name).c_str());
    }
    return TRUE;
}

gboolean FakeUdisks::Handlers::mount(UDisksFilesystem* filesystem, GDBusMethodInvocation* invocation,
                                     GVariant* options, gpointer data)
{
    auto* self = static_cast<FakeUdisks*>(data);
    const std::string name = self->nameOf(filesystem);
    // The mount options asked for ("ro") show in the call.
    const gchar* mountOptions = nullptr;
    const bool withOptions = g_variant_lookup(options, "options", "&s", &mountOptions) != 0;
    self->record("Mount " + name + (withOptions ? std::string(" options=") + mountOptions : std::string()), options);
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

gboolean FakeUdisks::Handlers::unmount(UDisksFilesystem* filesystem, GDBusMethodInvocation* invocation,
                                       GVariant* options, gpointer data)
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

gboolean FakeUdisks::Handlers::powerOff(UDisksDrive* drive, GDBusMethodInvocation* invocation, GVariant* options,
                                        gpointer data)
{
    auto* self = static_cast<FakeUdisks*>(data);
    self->record("PowerOff " + self->nameOf(drive), options);
    if (!self->refused("PowerOff", invocation)) {
        udisks_drive_complete_power_off(drive, invocation);
    }
    return TRUE;
}

gboolean FakeUdisks::Handlers::eject(UDisksDrive* drive, GDBusMethodInvocation* invocation, GVariant* options,
                                     gpointer data)
{
    auto* self = static_cast<FakeUdisks*>(data);
    self->record("Eject " + self->nameOf(drive), options);
    if (!self->refused("Eject", invocation)) {
        udisks_drive_complete_eject(drive, invocation);
    }
    return TRUE;
}

} // namespace sarnovelle::test
