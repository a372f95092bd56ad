#pragma once

// The fake udisks2's answers to the service's methods and the names it
// gives its objects; used by FakeUdisks on the service's thread.

#include "FakeUdisks.h"

#include <string>
#include <vector>

namespace sarnovelle::test {

inline constexpr const char* udisksRoot = "/org/freedesktop/UDisks2";
inline const std::string errorPrefix = "org.freedesktop.UDisks2.Error.";

inline std::string blockPath(const std::string& name)
{
    return std::string(udisksRoot) + "/block_devices/" + name;
}

inline std::string drivePath(const std::string& id)
{
    return std::string(udisksRoot) + "/drives/" + id;
}

inline std::vector<std::string> pointsOf(UDisksFilesystem* filesystem)
{
    std::vector<std::string> points;
    if (const gchar* const* list = udisks_filesystem_get_mount_points(filesystem)) {
        for (; *list != nullptr; ++list) {
            points.emplace_back(*list);
        }
    }
    return points;
}

inline void flush(gpointer interface)
{
    g_dbus_interface_skeleton_flush(G_DBUS_INTERFACE_SKELETON(interface));
}

struct FakeUdisks::Handlers {
    static gboolean format(UDisksBlock* block, GDBusMethodInvocation* invocation, const gchar* type,
                           GVariant* options, gpointer data);
    static gboolean create(UDisksPartitionTable* table, GDBusMethodInvocation* invocation, guint64 offset,
                           guint64 size, const gchar* type, const gchar* name, GVariant* options,
                           const gchar* formatType, GVariant* formatOptions, gpointer data);
    static gboolean mount(UDisksFilesystem* filesystem, GDBusMethodInvocation* invocation, GVariant* options,
                          gpointer data);
    static gboolean unmount(UDisksFilesystem* filesystem, GDBusMethodInvocation* invocation, GVariant* options,
                            gpointer data);
    static gboolean powerOff(UDisksDrive* drive, GDBusMethodInvocation* invocation, GVariant* options,
                             gpointer data);
    static gboolean eject(UDisksDrive* drive, GDBusMethodInvocation* invocation, GVariant* options, gpointer data);
};

} // namespace sarnovelle::test
