#include "cli/Commands.h"

#include "cli/Confirm.h"
#include "cli/Runs.h"
#include "disks/UsbDisks.h"

#include <unistd.h>

#include <algorithm>
#include <exception>
#include <optional>

namespace sarnovelle::cli {

namespace {

// The listed disks the ids name, in the order given; absent, with every
// id that is not offered reported, when any is missing.
std::optional<std::vector<UsbDisk>> chosenDisks(const std::vector<std::string>& ids, const UsbDiskSurvey& survey,
                                                Output& output)
{
    std::vector<UsbDisk> chosen;
    bool allFound = true;
    for (const std::string& id : ids) {
        const auto disk = std::find_if(survey.disks.begin(), survey.disks.end(),
                                       [&](const UsbDisk& listed) { return listed.id == id; });
        if (disk != survey.disks.end()) {
            chosen.push_back(*disk);
            continue;
        }
        allFound = false;
        const auto leftOut = std::find_if(survey.leftOut.begin(), survey.leftOut.end(),
                                          [&](const LeftOutDisk& left) { return left.id == id; });
        output.err(printable(id) + ": not offered, "
                   + (leftOut != survey.leftOut.end() ? "left out: " + printable(leftOut->reason)
                                                      : std::string("no such USB disk"))
                   + ". See --list.");
    }
    if (!allFound) {
        return std::nullopt;
    }
    return chosen;
}

} // namespace

int makeCommand(const Options& options, const VerifiedImage& image, const DiskEnv& env, Output& output)
{
    output.out("Image: product image, " + std::to_string(image.image.size()) + " bytes, SHA-256 "
               + image.imageHash);
    if (!image.imageOk) {
        output.err("The embedded image does not match this app's expected SHA-256. Making a USB is disabled.");
        return exitFailed;
    }

    const std::optional<UsbDiskSurvey> found = surveyOrReport(env, output);
    if (!found) {
        return exitFailed;
    }
    const UsbDiskSurvey& survey = *found;
    const auto disks = chosenDisks(options.ids, survey, output);
    if (!disks) {
        output.err("Nothing was erased.");
        return exitRefused;
    }

    if (!options.yes) {
        if (!isTerminal(STDIN_FILENO)) {
            output.err("Refusing to erase without --yes: there is no terminal to confirm on. Nothing was erased.");
            return exitRefused;
        }
        if (!confirmByTyping(*disks, STDIN_FILENO, output)) {
            output.err("Not confirmed. Nothing was erased.");
            return exitRefused;
        }
    }

    const RunsResult result = prepareAll(*disks, image, env, output);
    output.out("");
    for (const std::string& line : outcomeTable(result.outcomes)) {
        output.out(line);
    }
    if (result.interruptedBy != 0) {
        std::size_t finished = 0;
        for (const RunOutcome& outcome : result.outcomes) {
            finished += outcome.state != RunOutcome::State::stopped ? 1 : 0;
        }
        output.err("Interrupted: " + std::to_string(finished) + " run(s) went on to their end, "
                   + std::to_string(result.outcomes.size() - finished) + " stopped before erasing.");
        return 128 + result.interruptedBy;
    }
    const bool allDone = std::all_of(result.outcomes.begin(), result.outcomes.end(), [](const RunOutcome& outcome) {
        return outcome.state == RunOutcome::State::done;
    });
    return allDone ? exitDone : exitFailed;
}

} // namespace sarnovelle::cli
