#include "cli/Commands.h"

#include "cli/Json.h"
#include "cli/Runs.h"
#include "maker/StickCheck.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace sarnovelle::cli {

namespace {

// The stick of each id, in the order given; absent, with every refused id
// reported, when any is refused.
std::optional<std::vector<UsbDisk>> checkedDisks(const std::vector<std::string>& ids, const UsbDiskSurvey& survey,
                                                 const DiskEnv& env, Output& output)
{
    std::vector<UsbDisk> disks;
    bool allFound = true;
    for (const std::string& id : ids) {
        auto found = checkableDisk(survey, id, env);
        if (auto* disk = std::get_if<UsbDisk>(&found)) {
            disks.push_back(std::move(*disk));
        } else {
            allFound = false;
            output.err(printable(id) + ": not checked, " + printable(std::get<std::string>(found)) + ". See --list.");
        }
    }
    if (!allFound) {
        return std::nullopt;
    }
    return disks;
}

// Checks one stick; its steps go out as the runs' lines unless `quiet`.
void checkOne(const UsbDisk& disk, const std::string& imageHash, const DiskEnv& env, bool quiet, Output& output,
              RunOutcome& outcome)
{
    const auto started = std::chrono::steady_clock::now();
    const std::string prefix = printable(disk.id) + ": ";
    const LogSink say = [&](const std::string& line) {
        if (!quiet) {
            output.out(prefix + timeStamp() + "  " + printable(line));
        }
    };
    const StickVerdict verdict = checkStick(disk, imageHash, say, env);
    say(verdict.line);
    outcome.state = verdict.ready ? RunOutcome::State::ready : RunOutcome::State::notReady;
    outcome.message = printable(verdict.line);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::string verdictsJson(const std::vector<RunOutcome>& outcomes)
{
    std::string out = "[\n";
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const RunOutcome& outcome = outcomes[i];
        std::array<char, 32> seconds{};
        std::snprintf(seconds.data(), seconds.size(), "%.1f", outcome.seconds);
        out += "  {\"id\": " + jsonString(outcome.id)
               + ", \"ready\": " + (outcome.state == RunOutcome::State::ready ? "true" : "false")
               + ", \"line\": " + jsonString(outcome.message) + ", \"seconds\": " + seconds.data() + "}";
        out += i + 1 < outcomes.size() ? ",\n" : "\n";
    }
    return out + "]";
}

} // namespace

int checkCommand(const Options& options, const VerifiedImage& image, const DiskEnv& env, Output& output)
{
    if (!image.imageOk) {
        output.err("The embedded image does not match this app's expected SHA-256. Nothing can be checked against it.");
        return exitFailed;
    }
    const std::optional<UsbDiskSurvey> survey = surveyOrReport(env, output);
    if (!survey) {
        return exitFailed;
    }
    const auto disks = checkedDisks(options.ids, *survey, env, output);
    if (!disks) {
        return exitRefused;
    }

    // Every stick at once, one thread each, as --make runs them. A check
    // changes nothing, so an interruption simply ends the program (a
    // read-only mount may be left behind).
    std::vector<RunOutcome> outcomes(disks->size());
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < disks->size(); ++i) {
            outcomes[i].id = printable((*disks)[i].id);
            threads.emplace_back([&, i] {
                checkOne((*disks)[i], image.imageHash, env, options.json, output, outcomes[i]);
            });
        }
    }

    if (options.json) {
        output.out(verdictsJson(outcomes));
    } else {
        output.out("");
        for (const std::string& line : outcomeTable(outcomes)) {
            output.out(line);
        }
    }
    const bool allReady = std::all_of(outcomes.begin(), outcomes.end(), [](const RunOutcome& outcome) {
        return outcome.state == RunOutcome::State::ready;
    });
    return allReady ? exitDone : exitFailed;
}

} // namespace sarnovelle::cli
