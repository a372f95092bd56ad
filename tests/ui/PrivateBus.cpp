#include "PrivateBus.h"

#include "core/UniqueFd.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace sarnovelle::test {

namespace {

bool listening(const std::string& path)
{
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd || path.size() >= sizeof address.sun_path) {
        return false;
    }
    path.copy(address.sun_path, path.size());
    return ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

} // namespace

PrivateBus::PrivateBus()
{
    const std::string socket = (folder_ / "bus").string();
    const auto config = folder_.write(
        "bus.conf", "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                    "<busconfig><type>session</type><listen>unix:path=" + socket + "</listen>"
                    "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                    "<allow send_destination=\"*\"/><allow eavesdrop=\"true\"/></policy></busconfig>\n");
    const std::string configArgument = "--config-file=" + config.string();
    std::vector<char*> arguments{const_cast<char*>("dbus-daemon"), const_cast<char*>(configArgument.c_str()),
                                 const_cast<char*>("--nofork"), nullptr};
    const std::string log = (folder_ / "dbus-daemon.log").string();
    daemon_ = ::fork();
    if (daemon_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 2);
        }
        ::execvp("dbus-daemon", arguments.data());
        ::_exit(127);
    }
    if (daemon_ < 0) {
        throw std::runtime_error("dbus-daemon could not be started");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!listening(socket)) {
        if (std::chrono::steady_clock::now() > deadline || ::waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
            ::kill(daemon_, SIGKILL);
            ::waitpid(daemon_, nullptr, 0);
            throw std::runtime_error("dbus-daemon did not open its socket");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    address_ = "unix:path=" + socket;
}

PrivateBus::~PrivateBus()
{
    ::kill(daemon_, SIGTERM);
    ::waitpid(daemon_, nullptr, 0);
}

} // namespace sarnovelle::test
