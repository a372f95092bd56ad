#include "linux/diskutil/Backend.h"

#include "linux/diskutil/BackendModule.h"
#include "linux/diskutil/backends/kernel/KernelBackend.h"
#include "linux/diskutil/backends/null/NullBackend.h"

namespace sarnovelle::standin {

std::unique_ptr<Backend> chooseBackend(const Context& context)
{
    std::string problem;
    if (systemBusMayAnswer(context, problem)) {
        if (auto backend = loadUdisksBackend(context, problem)) {
            return backend;
        }
    }
    if (context.privileged) {
        return std::make_unique<KernelBackend>();
    }
    return std::make_unique<NullBackend>(problem);
}

} // namespace sarnovelle::standin
