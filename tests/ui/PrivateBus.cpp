#include "PrivateBus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace sarnovelle::test {

PrivateBus::PrivateBus()
{
    const auto config = folder_.write(
        "bus.conf", "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                    "<busconfig><type>session</type><listen>unix:path=" + (folder_ / "bus").string() + "</listen>"
                    "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                    "<allow send_destination=\"*\"/><allow eavesdrop=\"true\"/></policy></busconfig>\n");
    const std::string configArgument = "--config-file=" + config.string();
    const std::string log = (folder_ / "dbus-daemon.log").string();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe for dbus-daemon");
    }
    daemon_ = ::fork();
    if (daemon_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::dup2(ends[1], 1);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 2);
        }
        ::execlp("dbus-daemon", "dbus-daemon", configArgument.c_str(), "--nofork", "--print-address", nullptr);
        ::_exit(127);
    }
    ::close(ends[1]);
    // The daemon prints its address once it listens; end of file if it ended.
    char buffer[512];
    ssize_t got = 0;
    while (address_.find('\n') == std::string::npos && (got = ::read(ends[0], buffer, sizeof buffer)) > 0) {
        address_.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);
    if (address_.find('\n') == std::string::npos) {
        if (daemon_ > 0) {
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
        }
        throw std::runtime_error("dbus-daemon did not start");
    }
    address_.resize(address_.find('\n'));
}

PrivateBus::~PrivateBus()
{
    ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
}

} // namespace sarnovelle::test
