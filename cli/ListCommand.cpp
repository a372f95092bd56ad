#include "cli/Commands.h"

#include "cli/Json.h"
#include "disks/UsbDisks.h"

#include <exception>

namespace sarnovelle::cli {

std::optional<UsbDiskSurvey> surveyOrReport(const DiskEnv& env, Output& output)
{
    try {
        return surveyUsbDisks(env);
    } catch (const std::exception& error) {
        output.err("Cannot list disks: " + printable(error.what()));
        return std::nullopt;
    }
}

int listCommand(const Options& options, const DiskEnv& env, Output& output)
{
    const std::optional<UsbDiskSurvey> found = surveyOrReport(env, output);
    if (!found) {
        return exitFailed;
    }
    const UsbDiskSurvey& survey = *found;
    for (const LeftOutDisk& disk : survey.leftOut) {
        output.err("Left out " + printable(disk.id) + ": " + printable(disk.reason));
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
