#pragma once

// Owning handles for the GLib objects the udisks2 client hands out: each
// one releases its object once, whichever way the scope is left.

#include <gio/gio.h>
#include <glib-object.h>

#include <memory>
#include <string>

namespace sarnovelle::standin {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference the caller already owns (the "transfer full"
// results of GLib); nullptr stays empty.
template <typename T>
GObjectPtr<T> adoptObject(T* object)
{
    return GObjectPtr<T>(object);
}

// Adds a reference to an object that someone else owns ("peek" results).
template <typename T>
GObjectPtr<T> retainObject(T* object)
{
    return GObjectPtr<T>(object != nullptr ? static_cast<T*>(g_object_ref(object)) : nullptr);
}

struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;

struct GListFreeObjects {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using GObjectList = std::unique_ptr<GList, GListFreeObjects>;

// The GError** slot of a GLib call. After the call it tells whether the
// call failed, the D-Bus error name the service sent and its own text.
class GErrorSlot {
public:
    GErrorSlot() = default;
    GErrorSlot(const GErrorSlot&) = delete;
    GErrorSlot& operator=(const GErrorSlot&) = delete;
    ~GErrorSlot() { g_clear_error(&error_); }

    operator GError**() { return &error_; }
    bool failed() const { return error_ != nullptr; }

    // "org.freedesktop.UDisks2.Error.DeviceBusy"; empty for a local error.
    std::string remoteName() const
    {
        if (error_ == nullptr) {
            return {};
        }
        const GCharPtr name(g_dbus_error_get_remote_error(error_));
        return name ? std::string(name.get()) : std::string();
    }

    // The text without GDBus' "GDBus.Error:<name>: " prefix.
    std::string message() const
    {
        if (error_ == nullptr) {
            return {};
        }
        GError* copy = g_error_copy(error_);
        g_dbus_error_strip_remote_error(copy);
        std::string text = copy->message != nullptr ? copy->message : "";
        g_error_free(copy);
        return text;
    }

private:
    GError* error_ = nullptr;
};

} // namespace sarnovelle::standin
