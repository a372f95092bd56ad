#include "cli/Interrupts.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace sarnovelle::cli {

namespace {

sigset_t interruptSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

Interrupts::Interrupts()
{
    const sigset_t set = interruptSignals();
    ::pthread_sigmask(SIG_BLOCK, &set, &oldMask_);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGINT, &ignore, &oldInt_);
    ::sigaction(SIGTERM, &ignore, &oldTerm_);
    ::sigaction(SIGHUP, &ignore, &oldHup_);

    signals_.reset(::signalfd(-1, &set, SFD_CLOEXEC));
    int fds[2];
    if (!signals_ || ::pipe2(fds, O_CLOEXEC) != 0) {
        const int error = errno;
        restore();
        errno = error;
        fail("signalfd");
    }
    readEnd_.reset(fds[0]);
    writeEnd_.reset(fds[1]);
}

Interrupts::~Interrupts()
{
    restore();
}

void Interrupts::restore()
{
    // Unblocked while still ignored, a signal that came late is dropped
    // rather than ending the program with its default action.
    ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    ::sigaction(SIGHUP, &oldHup_, nullptr);
}

Interrupts::Event Interrupts::wait()
{
    for (;;) {
        std::array<pollfd, 2> fds = {pollfd{signals_.get(), POLLIN, 0}, pollfd{readEnd_.get(), POLLIN, 0}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("poll");
        }
        if (fds[0].revents != 0) {
            if (const auto number = pendingSignal()) {
                return Event{*number, 0};
            }
        }
        if (fds[1].revents != 0) {
            unsigned char value = 0;
            const ssize_t got = ::read(readEnd_.get(), &value, 1);
            if (got == 1) {
                return Event{0, value};
            }
            if (got < 0 && errno != EINTR) {
                fail("read");
            }
        }
    }
}

std::optional<int> Interrupts::pendingSignal()
{
    pollfd fd{signals_.get(), POLLIN, 0};
    if (::poll(&fd, 1, 0) <= 0) {
        return std::nullopt;
    }
    signalfd_siginfo info{};
    if (::read(signals_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
        return std::nullopt;
    }
    return static_cast<int>(info.ssi_signo);
}

void Interrupts::notify(unsigned char value)
{
    while (::write(writeEnd_.get(), &value, 1) < 0 && errno == EINTR) {
    }
}

} // namespace sarnovelle::cli
