#pragma once

// The application's command line as a real child process: a copy of the
// executable in a temporary install tree whose disk utility is the fake
// one (tests/fakediskutil) and whose bundle is the build's own.
//
//   CliTree tree;                      // <tmp>/bin/sarnovelle-usb-maker ...
//   tree.fake().listWholeDisks({"disk4"});
//   CliResult r = tree.run({"--list"});
//   EXPECT_EQ(r.status, 0);

#include "FakeDiskutil.h"
#include "TempDir.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sarnovelle::test {

struct CliResult {
    int status = -1; // exit status; 128 + n when ended by signal n
    std::string out; // standard output
    std::string err; // standard error
    bool killed = false; // ended by a signal rather than by exiting
};

// One running command line, standard output and error on pipes, standard
// input /dev/null, in a process group of its own.
class CliProcess {
public:
    CliProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~CliProcess(); // kills and reaps a child still running
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    pid_t pid() const { return pid_; }
    // Whether the child has not ended yet.
    bool running() const;
    // Reads until `done` holds for (out, err); false after `timeout`.
    bool readUntil(const std::function<bool(const std::string&, const std::string&)>& done,
                   std::chrono::milliseconds timeout);
    // Closes this side of both pipes, as a terminal that hangs up: the
    // child's writes fail from then on.
    void closeOutput();
    // Reads to the end and reaps the child; fails the test after `timeout`.
    CliResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool pump(std::chrono::milliseconds wait);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
};

class CliTree {
public:
    CliTree();

    const std::filesystem::path& root() const { return dir_.path(); }
    std::string program() const;
    FakeDiskutil& fake() { return *fake_; }
    // The scenario folder: where the disk utility runs and logs.
    const std::filesystem::path& scenario() const { return fake_->folder(); }
    // The bundle's folder (BOOTX64.EFI, Info.plist).
    std::filesystem::path share() const;

    // Puts a /bin/sh script in front of the fake disk utility: `body` runs
    // with the arguments, then the fake answers. $dir is the scenario.
    void gate(const std::string& body) const;

    // Runs the command line to its end.
    CliResult run(const std::vector<std::string>& arguments) const;
    std::unique_ptr<CliProcess> start(const std::vector<std::string>& arguments) const;

    // The disk utility's runs, as "arg arg ..." lines.
    std::vector<std::string> invocations() const;
    int countInvocations(const std::string& line) const;

private:
    TempDir dir_;
    std::unique_ptr<FakeDiskutil> fake_;
};

// disk0 holds the system; disk3 ("Other stick", 8 GB) and disk4 ("SanDisk
// Ultra", 16 GB) are sticks, disk4 simulated by the fake.
void twoSticks(FakeDiskutil& fake);
// Whether the disk utility was asked to partition any disk.
bool anyPartitioning(const CliTree& tree);

// A disk that qualifies, with its label as the command line shows it (the
// copy of the program reads serial numbers from the real /sys, where a
// fake disk has none).
std::string labelOf(const std::string& id, const std::string& name, std::uint64_t size);

std::vector<std::string> linesOf(const std::string& text);
bool contains(const std::string& text, const std::string& part);

} // namespace sarnovelle::test
