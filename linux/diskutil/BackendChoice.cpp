#include "linux/diskutil/Backend.h"

#include "linux/diskutil/KernelBackend.h"
#include "linux/diskutil/NullBackend.h"
#include "linux/diskutil/UdisksBackend.h"

namespace sarnovelle::standin {

std::unique_ptr<Backend> chooseBackend(const Context& context)
{
    std::string problem;
    if (auto bus = UdisksBus::connect(context.systemBus, problem)) {
        return std::make_unique<UdisksBackend>(std::move(bus));
    }
    if (context.privileged) {
        return std::make_unique<KernelBackend>();
    }
    return std::make_unique<NullBackend>(problem);
}

} // namespace sarnovelle::standin
