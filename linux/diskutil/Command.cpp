#include "linux/diskutil/Command.h"

#include "core/MakerError.h"
#include "core/ToolRunner.h"
#include "linux/diskutil/Answers.h"
#include "linux/diskutil/Identifier.h"
#include "linux/diskutil/Partition.h"
#include "linux/diskutil/Volumes.h"

#include <exception>

namespace sarnovelle::standin {

namespace {

int dispatch(const Context& context, const std::vector<std::string>& arguments)
{
    const std::string command = arguments.empty() ? std::string() : arguments.front();
    const std::vector<std::string> rest(arguments.empty() ? arguments.end() : arguments.begin() + 1, arguments.end());

    if (command == "list" && rest == std::vector<std::string>{"-plist", "external", "physical"}) {
        *context.out << listAnswer(context).toXml();
        return 0;
    }
    if (command == "info" && rest.size() == 2 && rest[0] == "-plist") {
        *context.out << infoAnswer(context, rest[1]).toXml();
        return 0;
    }
    if (command == "partitionDisk") {
        return partitionCommand(context, rest);
    }
    if (command == "mount" && rest.size() == 1) {
        return mountCommand(context, rest[0]);
    }
    if (command == "unmount" && rest.size() == 1) {
        return unmountCommand(context, rest[0]);
    }
    if (command == "eject" && rest.size() == 1) {
        return ejectCommand(context, rest[0]);
    }
    throw MakerError("Unsupported invocation: diskutil " + printable(command)
                     + ". Supported: list -plist external physical; info -plist <disk>; partitionDisk; "
                       "mount, unmount <partition>; eject <disk>.");
}

// Runs the same invocation again through the elevator, passing its output
// on. pkexec ends with 126 when the user dismissed the password dialog and
// 127 when no one could be asked.
int elevate(const Context& context, const std::vector<std::string>& arguments, const std::string& command)
{
    std::vector<std::string> elevated{context.self};
    elevated.insert(elevated.end(), arguments.begin(), arguments.end());
    const ToolResult result = runTool(context.elevator, elevated);
    if (result.status == 126 || result.status == 127 || result.status < 0) {
        context.complain("Administrator rights are needed for " + command + "; they were not granted.");
        return 1;
    }
    *context.out << result.text() << std::flush;
    return result.status == 0 ? 0 : 1;
}

} // namespace

int runCommand(const Context& context, const std::vector<std::string>& arguments)
{
    try {
        return dispatch(context, arguments);
    } catch (const PrivilegesNeeded& needed) {
        if (!context.elevator.empty() && !context.self.empty()) {
            return elevate(context, arguments, needed.command);
        }
        context.complain("Administrator rights are needed for " + needed.command + "; run it as root.");
    } catch (const MakerError& error) {
        context.complain(error.message());
    } catch (const std::exception& error) {
        context.complain(std::string("Unexpected failure: ") + error.what());
    }
    context.out->flush();
    return 1;
}

} // namespace sarnovelle::standin
