#include "core/Diskutil.h"

#include "core/ToolRunner.h"

namespace sarnovelle {

std::optional<PlistDict> diskutilPlist(const DiskEnv& env, const std::vector<std::string>& arguments)
{
    const ToolResult result = runTool(env.diskutil, arguments);
    if (result.status != 0) {
        return std::nullopt;
    }
    return PlistDict::parse(result.output);
}

} // namespace sarnovelle
