#pragma once

#include "linux/diskutil/Backend.h"

#include <memory>
#include <string>

// The one entry point of the udisks2 module (udisks-backend.so): the
// backend that makes the changes through udisks2 on the bus at `address`
// (empty: the system bus), or empty with `problem` saying why udisks2
// cannot be used.
#define SARNOVELLE_UDISKS_ENTRY "sarnovelle_udisks_backend"

extern "C" {
using SarnovelleUdisksEntry = void(const std::string& address, std::string& problem,
                                   std::unique_ptr<sarnovelle::standin::Backend>& backend);
}
