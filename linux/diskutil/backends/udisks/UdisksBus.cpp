#include "linux/diskutil/backends/udisks/UdisksBus.h"

#include <string_view>
#include <thread>

namespace sarnovelle::standin {

namespace {

constexpr const char* service = "org.freedesktop.UDisks2";

// One line: the bus' messages may carry line breaks.
std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    return text;
}

GObjectPtr<GDBusConnection> openConnection(const std::string& address, GErrorSlot& error)
{
    if (address.empty()) {
        GObjectPtr<GDBusConnection> connection = adoptObject(g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, error));
        if (connection) {
            // The shared connection would end the program when the bus goes away.
            g_dbus_connection_set_exit_on_close(connection.get(), FALSE);
        }
        return connection;
    }
    const auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                                         | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
    return adoptObject(g_dbus_connection_new_for_address_sync(address.c_str(), flags, nullptr, nullptr, error));
}

// Asks the bus about udisks2's name: NameHasOwner tells whether it runs,
// StartServiceByName whether it runs now. False with `error` unset for a
// plain "no".
bool busCall(GDBusConnection* connection, const char* method, GErrorSlot& error)
{
    const bool start = std::string_view(method) == "StartServiceByName";
    GVariant* reply = g_dbus_connection_call_sync(
        connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        start ? g_variant_new("(su)", service, 0U) : g_variant_new("(s)", service),
        start ? G_VARIANT_TYPE("(u)") : G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, error);
    if (reply == nullptr) {
        return false;
    }
    bool yes = true;
    if (!start) {
        gboolean owned = FALSE;
        g_variant_get(reply, "(b)", &owned);
        yes = owned != FALSE;
    }
    g_variant_unref(reply);
    return yes;
}

} // namespace

std::unique_ptr<UdisksBus> UdisksBus::connect(const std::string& address, std::string& problem)
{
    // Registers udisks2's error names, so that its errors keep them.
    static_cast<void>(udisks_error_quark());

    GErrorSlot error;
    const GObjectPtr<GDBusConnection> connection = openConnection(address, error);
    if (!connection) {
        problem = "no system bus: " + oneLine(error.message());
        return nullptr;
    }
    // Starts udisks2 when it is installed but not running yet, and tells
    // plainly when it is not installed or cannot start. (The bus answers
    // StartServiceByName from its activation files alone, so a running
    // service is asked for first.)
    const bool running = busCall(connection.get(), "NameHasOwner", error);
    if (error.failed() || (!running && !busCall(connection.get(), "StartServiceByName", error))) {
        problem = oneLine(error.message());
        return nullptr;
    }
    GObjectPtr<GDBusObjectManager> manager = adoptObject(
        udisks_object_manager_client_new_sync(connection.get(), G_DBUS_OBJECT_MANAGER_CLIENT_FLAGS_DO_NOT_AUTO_START,
                                              service, "/org/freedesktop/UDisks2", nullptr, error));
    if (!manager) {
        problem = oneLine(error.message());
        return nullptr;
    }
    const GCharPtr owner(g_dbus_object_manager_client_get_name_owner(G_DBUS_OBJECT_MANAGER_CLIENT(manager.get())));
    if (!owner) {
        problem = "the service is not running";
        return nullptr;
    }
    return std::unique_ptr<UdisksBus>(new UdisksBus(std::move(manager)));
}

GObjectPtr<UDisksObject> UdisksBus::blockByDevice(dev_t device) const
{
    const GObjectList objects(g_dbus_object_manager_get_objects(manager_.get()));
    for (GList* item = objects.get(); item != nullptr; item = item->next) {
        UDisksBlock* block = udisks_object_peek_block(UDISKS_OBJECT(item->data));
        if (block != nullptr && udisks_block_get_device_number(block) == device) {
            return retainObject(UDISKS_OBJECT(item->data));
        }
    }
    return nullptr;
}

GObjectPtr<UDisksObject> UdisksBus::object(const std::string& path) const
{
    GDBusObject* found = g_dbus_object_manager_get_object(manager_.get(), path.c_str());
    return adoptObject(found != nullptr ? UDISKS_OBJECT(found) : nullptr);
}

std::vector<GObjectPtr<UDisksObject>> UdisksBus::partitionsOf(const std::string& diskPath) const
{
    std::vector<GObjectPtr<UDisksObject>> partitions;
    const GObjectList objects(g_dbus_object_manager_get_objects(manager_.get()));
    for (GList* item = objects.get(); item != nullptr; item = item->next) {
        UDisksPartition* partition = udisks_object_peek_partition(UDISKS_OBJECT(item->data));
        if (partition != nullptr && diskPath == udisks_partition_get_table(partition)) {
            partitions.push_back(retainObject(UDISKS_OBJECT(item->data)));
        }
    }
    return partitions;
}

void UdisksBus::settle() const
{
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

bool UdisksBus::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) const
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        settle();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

GVariant* udisksOptions(const std::vector<std::pair<const char*, GVariant*>>& extra)
{
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "auth.no_user_interaction", g_variant_new_boolean(FALSE));
    for (const auto& [key, value] : extra) {
        g_variant_builder_add(&builder, "{sv}", key, value);
    }
    return g_variant_builder_end(&builder);
}

void allowLongCall(gpointer proxy)
{
    // An hour: a password dialog waits for its user.
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(proxy), 60 * 60 * 1000);
}

std::string udisksFailure(const std::string& what, const GErrorSlot& error)
{
    const std::string name = error.remoteName();
    const std::string text = oneLine(error.message());
    const std::string prefix = "org.freedesktop.UDisks2.Error.";
    if (name == prefix + "NotAuthorizedDismissed") {
        return what + ": the authorisation was dismissed in the desktop's dialog (udisks2: " + text + ").";
    }
    if (name == prefix + "NotAuthorizedCanObtain") {
        return what + ": it needs an authorisation, and no authentication agent of the desktop was there to ask "
                      "for it (udisks2: " + text + ").";
    }
    if (name == prefix + "NotAuthorized") {
        return what + ": the system's policy does not allow it to this user (udisks2: " + text + ").";
    }
    return what + ": " + text + ".";
}

} // namespace sarnovelle::standin
