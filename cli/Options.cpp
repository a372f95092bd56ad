#include "cli/Options.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace sarnovelle::cli {

namespace {

constexpr std::array<std::string_view, 8> ownOptions = {"--list", "--json", "--make",    "--check",
                                                        "--yes",  "--help", "-h",        "--version"};

bool isOption(const std::string& argument)
{
    return argument.size() > 1 && argument.front() == '-';
}

} // namespace

bool wantsCommandLine(const std::vector<std::string>& arguments)
{
    return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
        return std::find(ownOptions.begin(), ownOptions.end(), argument) != ownOptions.end();
    });
}

std::variant<Options, std::string> parseOptions(const std::vector<std::string>& arguments)
{
    bool list = false;
    bool make = false;
    bool check = false;
    bool help = false;
    bool version = false;
    Options options;
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument == "--list") {
            list = true;
        } else if (argument == "--make") {
            make = true;
        } else if (argument == "--check") {
            check = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (isOption(argument)) {
            return "Unknown option " + argument + ".";
        } else if (make || check) {
            if (std::find(options.ids.begin(), options.ids.end(), argument) != options.ids.end()) {
                return "The disk " + argument + " is named twice.";
            }
            options.ids.push_back(argument);
        } else {
            return "Unexpected argument " + argument + ": disk ids follow --make or --check.";
        }
    }

    if (help) {
        options.command = Options::Command::help;
        return options;
    }
    if (version) {
        options.command = Options::Command::version;
        return options;
    }
    const int commands = (list ? 1 : 0) + (make ? 1 : 0) + (check ? 1 : 0);
    if (commands != 1) {
        return std::string(commands == 0 ? "Give --list, --make or --check." : "Give one of --list, --make and --check.");
    }
    if (list) {
        if (options.yes) {
            return std::string("--yes goes with --make.");
        }
        options.command = Options::Command::list;
        return options;
    }
    if (check) {
        if (options.yes) {
            return std::string("--yes goes with --make.");
        }
        if (options.ids.empty()) {
            return std::string("--check needs at least one disk id (see --list).");
        }
        options.command = Options::Command::check;
        return options;
    }
    if (options.json) {
        return std::string("--json goes with --list or --check.");
    }
    if (options.ids.empty()) {
        return std::string("--make needs at least one disk id (see --list).");
    }
    options.command = Options::Command::make;
    return options;
}

std::string usageText()
{
    return "Usage: sarnovelle-usb-maker [--list [--json] | --make ID [ID...] [--yes] |\n"
           "                            --check ID [ID...] [--json] | --help | --version]\n"
           "\n"
           "Without options the window opens.\n"
           "\n"
           "  --list        the USB disks that may be erased, one label per line;\n"
           "                the disks left out, and why, on standard error\n"
           "  --json        with --list: the disks as JSON, [{id, name, size, serial}];\n"
           "                with --check: the verdicts, [{id, ready, line, seconds}]\n"
           "  --make ID...  erase each disk and make it a boot stick, all at the same time\n"
           "  --check ID... check each disk without changing it: READY when it holds\n"
           "                this image, NOT READY with the first check that failed\n"
           "  --yes         with --make: do not ask to type the ids back (needed\n"
           "                when standard input is not a terminal)\n"
           "  -h, --help    this text\n"
           "  --version     the version\n"
           "\n"
           "Exit status: 0 done (--check: every disk READY); 1 the listing or a run\n"
           "failed (--check: a disk NOT READY); 2 refused, unknown\n"
           "disk or wrong usage (nothing erased); 128 + the signal after an\n"
           "interruption: 130 Ctrl+C, 129 hangup (the terminal closed), 143 SIGTERM.\n";
}

} // namespace sarnovelle::cli
