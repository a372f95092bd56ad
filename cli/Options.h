#pragma once

#include <string>
#include <variant>
#include <vector>

namespace sarnovelle::cli {

// What the command line asks for.
struct Options {
    enum class Command { help, version, list, make, check };
    Command command = Command::help;
    bool json = false;            // --list --json, --check --json
    bool yes = false;             // --make ... --yes: no typed confirmation
    std::vector<std::string> ids; // --make, --check: the whole disks, as given
};

// True when the arguments (argv[1] on) name one of the command line's own
// options; otherwise the window opens and Qt reads the arguments as ever.
bool wantsCommandLine(const std::vector<std::string>& arguments);

// The options, or the message of a usage error.
std::variant<Options, std::string> parseOptions(const std::vector<std::string>& arguments);

// The text of --help.
std::string usageText();

} // namespace sarnovelle::cli
