// The udisks2 backend as a module of its own. GLib, GIO and libudisks2 are
// loaded only when a change is asked for and a system bus is there, so that
// the listing and info queries, run many times per preparation, start
// without them.

#include "linux/diskutil/backends/udisks/UdisksModule.h"

#include "linux/diskutil/backends/udisks/UdisksBackend.h"

#include <type_traits>

extern "C" __attribute__((visibility("default"))) void
sarnovelle_udisks_backend(const std::string& address, std::string& problem,
                          std::unique_ptr<sarnovelle::standin::Backend>& backend)
{
    using namespace sarnovelle::standin;
    if (auto bus = UdisksBus::connect(address, problem)) {
        backend = std::make_unique<UdisksBackend>(std::move(bus));
    }
}

// The declaration the loader relies on and this definition must agree.
static_assert(std::is_same_v<decltype(sarnovelle_udisks_backend), SarnovelleUdisksEntry>);
