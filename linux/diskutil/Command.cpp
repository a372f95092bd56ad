#include "linux/diskutil/Command.h"

#include "core/MakerError.h"
#include "linux/diskutil/answers/Answers.h"
#include "linux/diskutil/Backend.h"
#include "linux/diskutil/checks/Guards.h"
#include "linux/diskutil/checks/WriteProtection.h"
#include "linux/diskutil/devices/Identifier.h"
#include "linux/diskutil/PartitionRequest.h"

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
    // The changes: their arguments are checked first, then the target
    // (only a USB stick the application would offer, never a disk of the
    // running system; nothing written to a write-protected one), then the
    // backend that can reach the disks does the work.
    if (command == "partitionDisk") {
        const PartitionRequest request = parsePartitionRequest(rest);
        refuseWriteProtected(context, offeredWholeDisk(context, request.disk, command), command);
        return chooseBackend(context)->partitionDisk(context, request);
    }
    // "mount readOnly <partition>" as the macOS utility spells it; only a
    // read-write mount is refused on a write-protected stick.
    if (command == "mount" && (rest.size() == 1 || (rest.size() == 2 && rest[0] == "readOnly"))) {
        const std::string identifier = identifierArgument(rest.back());
        const MountAccess access = rest.size() == 2 ? MountAccess::readOnly : MountAccess::readWrite;
        const std::string partition = partitionOfOfferedDisk(context, identifier, command);
        if (access == MountAccess::readWrite) {
            refuseWriteProtected(context, partition, command);
        }
        return chooseBackend(context)->mount(context, identifier, access);
    }
    if (command == "unmount" && rest.size() == 1) {
        const std::string identifier = identifierArgument(rest[0]);
        partitionOfOfferedDisk(context, identifier, command);
        return chooseBackend(context)->unmount(context, identifier);
    }
    if (command == "eject" && rest.size() == 1) {
        const std::string identifier = identifierArgument(rest[0]);
        offeredWholeDisk(context, identifier, command);
        return chooseBackend(context)->eject(context, identifier);
    }
    throw MakerError("Unsupported invocation: diskutil " + printable(command)
                     + ". Supported: list -plist external physical; info -plist <disk>; partitionDisk; "
                       "mount [readOnly] <partition>, unmount <partition>; eject <disk>.");
}

} // namespace

int runCommand(const Context& context, const std::vector<std::string>& arguments)
{
    try {
        return dispatch(context, arguments);
    } catch (const PrivilegesNeeded& needed) {
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
