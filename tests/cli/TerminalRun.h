#pragma once

// The command line on the slave side of a pseudo-terminal: standard input,
// output and error all on the terminal, as in an interactive shell.
//
//   TerminalRun run(tree.program(), {"--make", "disk4"});
//   ASSERT_TRUE(run.readUntil("and press Return:"));
//   run.type("disk4\n");
//   EXPECT_EQ(run.finish(), 0);

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace sarnovelle::test {

class TerminalRun {
public:
    TerminalRun(const std::string& program, const std::vector<std::string>& arguments);
    ~TerminalRun(); // kills and reaps a program still running
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    // Reads until `text` has appeared (true) or the terminal closed or the
    // time ran out (false).
    bool readUntil(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(30));
    void type(const std::string& keys);
    // Everything to the end, then the exit status.
    int finish();

    // What the terminal showed so far, line feeds as "\r\n".
    const std::string& screen() const { return screen_; }

private:
    // False once the program closed its side of the terminal.
    bool readSome();

    pid_t pid_ = -1;
    int master_ = -1;
    std::string screen_;
};

} // namespace sarnovelle::test
