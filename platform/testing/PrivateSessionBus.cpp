#include "platform/testing/PrivateSessionBus.hpp"

#include "platform/testing/Programs.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <unistd.h>

namespace tavik::testing {

namespace {

// A session bus on which everyone may send, eavesdrop and own names, and
// which starts the services described in the folders.
std::string configuration(const std::filesystem::path& socketFolder, const std::vector<std::filesystem::path>& serviceDirectories)
{
    std::string text = "<busconfig><type>session</type><keep_umask/><listen>unix:dir=" + socketFolder.string() + "</listen>";
    for (const auto& folder : serviceDirectories)
        text += "<servicedir>" + folder.string() + "</servicedir>";
    return text + R"(<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>)"
        + R"(<allow own="*"/></policy></busconfig>)";
}

} // namespace

PrivateSessionBus::PrivateSessionBus()
    : PrivateSessionBus(Options {})
{
}

PrivateSessionBus::PrivateSessionBus(const Options& options)
{
    auto configPath = folder_ / "bus.conf";
    std::ofstream(configPath) << configuration(folder_.path(), options.serviceDirectories);

    int addressPipe[2];
    if (pipe2(addressPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::string configArgument = "--config-file=" + configPath.string();
    const pid_t testProcess = getpid();
    daemon_ = fork();
    if (daemon_ < 0)
        throw std::runtime_error("fork failed");
    if (daemon_ == 0) {
        // A test that dies (an abort, a sanitizer report) takes its bus with
        // it; a bus left running would hold the test runner's output pipe.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != testProcess)
            _exit(127);
        for (const auto& [name, value] : options.environment)
            setenv(name.c_str(), value.c_str(), 1);
        dup2(addressPipe[1], 3); // dup2 clears close-on-exec on the copy
        std::string printAddress = "--print-address=3";
        execlp("dbus-daemon", "dbus-daemon", configArgument.c_str(), "--nofork", "--nopidfile", printAddress.c_str(),
            static_cast<char*>(nullptr));
        _exit(127);
    }
    close(addressPipe[1]);
    char buffer[512];
    std::string line;
    ssize_t got;
    while (line.find('\n') == std::string::npos && (got = read(addressPipe[0], buffer, sizeof buffer)) > 0)
        line.append(buffer, static_cast<size_t>(got));
    close(addressPipe[0]);
    auto end = line.find('\n');
    if (end == std::string::npos) {
        kill();
        throw std::runtime_error("dbus-daemon did not start (is the dbus package installed?)");
    }
    address_ = line.substr(0, end);

    environment_.set("DBUS_SESSION_BUS_ADDRESS", address_);
}

PrivateSessionBus::~PrivateSessionBus()
{
    if (daemon_ > 0) {
        ::kill(daemon_, SIGTERM);
        waitFor(daemon_);
    }
}

void PrivateSessionBus::kill()
{
    if (daemon_ <= 0)
        return;
    ::kill(daemon_, SIGKILL);
    waitFor(daemon_);
    daemon_ = -1;
}

} // namespace tavik::testing
