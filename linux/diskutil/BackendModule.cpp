#include "linux/diskutil/BackendModule.h"

#include "linux/diskutil/backends/udisks/UdisksModule.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace sarnovelle::standin {

namespace {

// GLib's own default for the system bus.
constexpr std::string_view defaultSystemBus = "unix:path=/var/run/dbus/system_bus_socket";

struct ModuleCloser {
    void operator()(void* handle) const { ::dlclose(handle); }
};
using ModuleHandle = std::unique_ptr<void, ModuleCloser>;

// A backend whose code lives in a loaded module: the module stays loaded
// for as long as the backend lives.
class ModuleBackend final : public Backend {
public:
    ModuleBackend(ModuleHandle module, std::unique_ptr<Backend> backend)
        : module_(std::move(module)), backend_(std::move(backend))
    {
    }

    int partitionDisk(const Context& context, const PartitionRequest& request) override
    {
        return backend_->partitionDisk(context, request);
    }
    int mount(const Context& context, const std::string& identifier, MountAccess access) override
    {
        return backend_->mount(context, identifier, access);
    }
    int unmount(const Context& context, const std::string& identifier) override
    {
        return backend_->unmount(context, identifier);
    }
    int eject(const Context& context, const std::string& identifier) override
    {
        return backend_->eject(context, identifier);
    }

private:
    // Declared first, so destroyed after the backend it holds the code of.
    ModuleHandle module_;
    std::unique_ptr<Backend> backend_;
};

std::string loaderError()
{
    const char* text = ::dlerror();
    return text != nullptr ? text : "unknown error";
}

} // namespace

bool systemBusMayAnswer(const Context& context, std::string& problem)
{
    std::string address = context.systemBus;
    if (address.empty()) {
        const char* fromEnvironment = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
        address = fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment
                                                                          : std::string(defaultSystemBus);
    }
    // Only a single plain socket path is judged here; every other address
    // is left to the bus library.
    constexpr std::string_view prefix = "unix:path=";
    if (!address.starts_with(prefix) || address.find_first_of(",;") != std::string::npos) {
        return true;
    }
    const std::string path = address.substr(prefix.size());
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 || errno != ENOENT) {
        return true;
    }
    problem = "no system bus: " + path + " does not exist";
    return false;
}

std::unique_ptr<Backend> loadUdisksBackend(const Context& context, std::string& problem)
{
    if (context.udisksModule.empty()) {
        problem = "the udisks2 module is not known";
        return nullptr;
    }
    // GLib does not support being unloaded, so neither does the module.
    ModuleHandle module(::dlopen(context.udisksModule.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!module) {
        problem = "cannot load " + context.udisksModule.string() + ": " + loaderError();
        return nullptr;
    }
    auto* entry = reinterpret_cast<SarnovelleUdisksEntry*>(::dlsym(module.get(), SARNOVELLE_UDISKS_ENTRY));
    if (entry == nullptr) {
        problem = "cannot load " + context.udisksModule.string() + ": " + loaderError();
        return nullptr;
    }
    std::unique_ptr<Backend> backend;
    entry(context.systemBus, problem, backend);
    if (!backend) {
        return nullptr;
    }
    return std::make_unique<ModuleBackend>(std::move(module), std::move(backend));
}

} // namespace sarnovelle::standin
