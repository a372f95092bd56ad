#pragma once

#include "cli/Options.h"
#include "cli/Output.h"
#include "core/Diskutil.h"
#include "core/ImageCheck.h"
#include "disks/UsbDisks.h"

#include <optional>

namespace sarnovelle::cli {

// The exit statuses of the command line.
constexpr int exitDone = 0;
constexpr int exitFailed = 1;
constexpr int exitRefused = 2;

// The disks of this moment, or absent after "Cannot list disks: ..." on
// standard error.
std::optional<UsbDiskSurvey> surveyOrReport(const DiskEnv& env, Output& output);

// --list [--json]: the disks on standard output, the left-out ones and why
// on standard error.
int listCommand(const Options& options, const DiskEnv& env, Output& output);

// --make ID... [--yes]: checks the image and the ids, confirms, prepares
// every disk at once and ends with a table of the outcomes.
int makeCommand(const Options& options, const VerifiedImage& image, const DiskEnv& env, Output& output);

// --check ID... [--json]: checks every disk at once without changing it and
// ends with a table of the verdicts (or the verdicts as JSON).
int checkCommand(const Options& options, const VerifiedImage& image, const DiskEnv& env, Output& output);

} // namespace sarnovelle::cli
