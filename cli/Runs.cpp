#include "cli/Runs.h"

#include "cli/Interrupts.h"
#include "maker/MakeUsb.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>

namespace sarnovelle::cli {

namespace {

const char* const doneLine = "DONE. The USB is ready. You can remove it.";
// A stick that is ready but still attached: pulling it now could undo the
// work, as the window warns.
#ifdef __APPLE__
const char* const notEjectedMessage = "Not ejected: eject it in Finder before removing it.";
const char* const doneNotEjectedLine =
    "DONE. The USB is ready but was not ejected: eject it in Finder before removing it.";
#else
const char* const notEjectedMessage = "Not ejected: eject it in the file manager before removing it.";
const char* const doneNotEjectedLine =
    "DONE. The USB is ready but was not ejected: eject it in the file manager before removing it.";
#endif
const char* const stoppedMessage = "Stopped before erasing: interrupted.";

// Thrown out of makeUsb by the log sink: the run was about to erase.
struct StoppedBeforeErase {};

struct Shared {
    const VerifiedImage& image;
    const DiskEnv& env;
    Output& output;
    std::atomic<bool> stop{false};
};

void runOne(const UsbDisk& disk, RunOutcome& outcome, Shared& shared)
{
    const auto started = std::chrono::steady_clock::now();
    // Every line may hold a tool's words: each stays on its one line.
    const std::string prefix = printable(disk.id) + ": ";
    auto say = [&](const std::string& line) { shared.output.out(prefix + timeStamp() + "  " + printable(line)); };

    // Nothing is logged before the re-check has passed and the erase is
    // about to begin, so the first line marks the point of no return.
    bool erasing = false;
    const LogSink sink = [&](const std::string& line) {
        if (!erasing) {
            if (shared.stop.load()) {
                throw StoppedBeforeErase{};
            }
            erasing = true;
        }
        say(line);
    };
    try {
        const MakeUsbResult made = makeUsb(disk, shared.image.image, shared.image.imageHash, sink, shared.env);
        outcome.state = RunOutcome::State::done;
        if (made.ejectFailed) {
            outcome.message = notEjectedMessage;
            say(doneNotEjectedLine);
        } else {
            say(doneLine);
        }
    } catch (const StoppedBeforeErase&) {
        outcome.state = RunOutcome::State::stopped;
        outcome.message = stoppedMessage;
        say(stoppedMessage);
    } catch (const std::exception& error) {
        // A MakerError's what() is exactly its message.
        outcome.message = printable(error.what());
        say("FAILED: " + outcome.message);
    } catch (...) {
        outcome.message = "The preparation ended with an unknown error.";
        say("FAILED: " + outcome.message);
    }
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

std::string seconds(double value)
{
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f s", value);
    return text.data();
}

const char* stateName(RunOutcome::State state)
{
    switch (state) {
    case RunOutcome::State::done:
        return "DONE";
    case RunOutcome::State::failed:
        return "FAILED";
    case RunOutcome::State::stopped:
        return "STOPPED";
    case RunOutcome::State::ready:
        return "READY";
    case RunOutcome::State::notReady:
        return "NOT READY";
    }
    return "FAILED";
}

std::string padded(std::string text, std::size_t width)
{
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

} // namespace

RunsResult prepareAll(const std::vector<UsbDisk>& disks, const VerifiedImage& image, const DiskEnv& env,
                      Output& output)
{
    RunsResult result;
    result.outcomes.resize(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        result.outcomes[i].id = printable(disks[i].id);
    }
    Shared shared{image, env, output};
    Interrupts interrupts;

    std::vector<std::thread> threads;
    // Every thread is joined on every path, an error while waiting too.
    struct Joiner {
        std::vector<std::thread>& threads;
        ~Joiner()
        {
            for (std::thread& thread : threads) {
                if (thread.joinable()) {
                    thread.join();
                }
            }
        }
    } joiner{threads};
    std::size_t running = 0;
    // The run threads, and every program they start, are made after the
    // signals are taken over (see Interrupts).
    for (std::size_t i = 0; i < disks.size(); ++i) {
        try {
            threads.emplace_back([&, i] {
                runOne(disks[i], result.outcomes[i], shared);
                interrupts.notify(1);
            });
            ++running;
        } catch (const std::exception& error) {
            result.outcomes[i].message = std::string("Cannot start a run: ") + error.what();
            output.out(result.outcomes[i].id + ": " + timeStamp() + "  FAILED: " + result.outcomes[i].message);
        }
    }

    const auto interrupted = [&](int number) {
        if (result.interruptedBy == 0) {
            result.interruptedBy = number;
            shared.stop.store(true);
            output.err("Interrupted: the runs that have begun erasing go on to their end; "
                       "the others stop before erasing.");
        } else {
            output.err("Still finishing the runs that have begun erasing: stopping them now "
                       "could leave their sticks unusable.");
        }
    };
    while (running > 0) {
        const Interrupts::Event event = interrupts.wait();
        if (event.signal != 0) {
            interrupted(event.signal);
        } else {
            --running;
        }
    }
    // A signal that came as the last run ended still counts.
    if (const auto late = interrupts.pendingSignal()) {
        interrupted(*late);
    }
    return result;
}

std::vector<std::string> outcomeTable(const std::vector<RunOutcome>& outcomes)
{
    std::size_t idWidth = 4;
    std::size_t stateWidth = 7;
    for (const RunOutcome& outcome : outcomes) {
        idWidth = std::max(idWidth, outcome.id.size());
        stateWidth = std::max(stateWidth, std::string_view(stateName(outcome.state)).size());
    }
    std::vector<std::string> lines;
    lines.push_back(padded("Disk", idWidth) + "  " + padded("Outcome", stateWidth) + "  Time     Message");
    for (const RunOutcome& outcome : outcomes) {
        std::string line = padded(outcome.id, idWidth) + "  " + padded(stateName(outcome.state), stateWidth) + "  "
                           + padded(seconds(outcome.seconds), 7);
        if (!outcome.message.empty()) {
            line += "  " + outcome.message;
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

} // namespace sarnovelle::cli
