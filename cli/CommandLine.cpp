#include "cli/CommandLine.h"

#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/Output.h"

#include <csignal>

namespace sarnovelle::cli {

bool wantsCommandLine(int argc, const char* const* argv)
{
    return argc > 1 && wantsCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}

int runCommandLine(const std::vector<std::string>& arguments, const Environment& environment)
{
    // A reader that goes away (a pipe into head, a terminal that hung up)
    // must not end a run half way; writes to it just fail (EPIPE, EIO).
    std::signal(SIGPIPE, SIG_IGN);

    Output output;
    const auto parsed = parseOptions(arguments);
    if (const auto* error = std::get_if<std::string>(&parsed)) {
        output.err(*error);
        output.err("Try sarnovelle-usb-maker --help.");
        return exitRefused;
    }
    const Options& options = std::get<Options>(parsed);
    switch (options.command) {
    case Options::Command::help: {
        std::string text = usageText();
        text.pop_back();
        output.out(text);
        return exitDone;
    }
    case Options::Command::version:
        output.out("sarnovelle-usb-maker " + environment.version);
        return exitDone;
    case Options::Command::list:
        return listCommand(options, environment.disks, output);
    case Options::Command::make:
        return makeCommand(options, verifyImage(environment.image, environment.infoPlist), environment.disks,
                           output);
    case Options::Command::check:
        return checkCommand(options, verifyImage(environment.image, environment.infoPlist), environment.disks,
                            output);
    }
    return exitFailed;
}

} // namespace sarnovelle::cli
