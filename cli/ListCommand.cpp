#include "cli/Commands.h"

#include "cli/Json.h"
#include "disks/UsbDisks.h"

#include <exception>

namespace sarnovelle::cli {

int listCommand(const Options& options, const DiskEnv& env, Output& output)
{
    UsbDiskSurvey survey;
    try {
        survey = surveyUsbDisks(env);
    } catch (const std::exception& error) {
        output.err("Cannot list disks: " + std::string(error.what()));
        return exitFailed;
    }
    for (const LeftOutDisk& disk : survey.leftOut) {
        output.err("Left out " + printable(disk.id) + ": " + disk.reason);
    }
    if (options.json) {
        std::string json = disksJson(survey.disks);
        json.pop_back(); // out() ends the line
        output.out(json);
        return exitDone;
    }
    for (const UsbDisk& disk : survey.disks) {
        output.out(printable(disk.label()));
    }
    if (survey.disks.empty()) {
        output.err("No USB disk found. Insert a USB stick and list again.");
    }
    return exitDone;
}

} // namespace sarnovelle::cli
