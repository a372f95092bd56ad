#pragma once

#include "cli/Output.h"
#include "core/Diskutil.h"
#include "core/ImageCheck.h"
#include "disks/UsbDisks.h"

#include <string>
#include <vector>

namespace sarnovelle::cli {

// How one disk's run ended.
struct RunOutcome {
    enum class State { done, failed, stopped, ready, notReady };
    std::string id;      // printable
    State state = State::failed;
    // Printable: the failure's message; when done, empty, or what is left
    // to do (a stick that could not be ejected).
    std::string message;
    double seconds = 0;
};

struct RunsResult {
    std::vector<RunOutcome> outcomes; // in the order of the disks given
    int interruptedBy = 0;            // the first signal number, 0 when none came
};

// Prepares every disk at the same time, one thread each, with the same run
// as the window (makeUsb). Each line of a run goes to standard output as
// "<id>: HH:mm:ss  <line>" with its control characters shown as '?', and
// its end as the window logs it ("DONE. ..." or "FAILED: <message>"); a
// stick that is ready but could not be ejected ends "DONE. The USB is ready
// but was not ejected: ...". Ctrl+C, SIGTERM or a hangup (SIGHUP): runs
// that have begun erasing go on to their end, the others stop before they
// erase.
RunsResult prepareAll(const std::vector<UsbDisk>& disks, const VerifiedImage& image, const DiskEnv& env,
                      Output& output);

// The closing table: one line per disk with its outcome, time and message,
// after a header line.
std::vector<std::string> outcomeTable(const std::vector<RunOutcome>& outcomes);

} // namespace sarnovelle::cli
