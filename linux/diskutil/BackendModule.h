#pragma once

#include "linux/diskutil/Backend.h"

#include <memory>
#include <string>

namespace sarnovelle::standin {

// Whether a system bus can be there at all: false, with `problem` saying
// why, when its address (context.systemBus, else DBUS_SYSTEM_BUS_ADDRESS,
// else the standard socket) is a Unix socket path that does not exist.
// Saves loading the udisks2 module on a machine without D-Bus.
bool systemBusMayAnswer(const Context& context, std::string& problem);

// The udisks2 backend from the module at context.udisksModule when udisks2
// answers on the bus; empty otherwise, with `problem` in the bus' own words
// or saying why the module could not be loaded.
std::unique_ptr<Backend> loadUdisksBackend(const Context& context, std::string& problem);

} // namespace sarnovelle::standin
