#include "platform/testing/PrivateSessionBus.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tavik::testing {

namespace {

std::string configuration(const std::filesystem::path& socketFolder, const std::vector<std::filesystem::path>& serviceDirectories)
{
    std::string text = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:dir=)"
        + socketFolder.string() + R"(</listen>
)";
    for (const auto& folder : serviceDirectories)
        text += "  <servicedir>" + folder.string() + "</servicedir>\n";
    text += R"(  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    return text;
}

} // namespace

PrivateSessionBus::PrivateSessionBus()
    : PrivateSessionBus(Options {})
{
}

PrivateSessionBus::PrivateSessionBus(const Options& options)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tavik-bus-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a folder for the private bus");
    folder_ = pattern;
    auto configPath = folder_ / "bus.conf";
    std::ofstream(configPath) << configuration(folder_, options.serviceDirectories);

    int addressPipe[2];
    if (pipe2(addressPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::string configArgument = "--config-file=" + configPath.string();
    daemon_ = fork();
    if (daemon_ < 0)
        throw std::runtime_error("fork failed");
    if (daemon_ == 0) {
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
        ::kill(daemon_, SIGTERM);
        waitpid(daemon_, nullptr, 0);
        throw std::runtime_error("dbus-daemon did not start (is the dbus package installed?)");
    }
    address_ = line.substr(0, end);

    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        hadPreviousAddress_ = true;
        previousAddress_ = previous;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateSessionBus::~PrivateSessionBus()
{
    if (hadPreviousAddress_)
        setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_.c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (daemon_ > 0) {
        ::kill(daemon_, SIGTERM);
        while (waitpid(daemon_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void PrivateSessionBus::kill()
{
    if (daemon_ <= 0)
        return;
    ::kill(daemon_, SIGKILL);
    while (waitpid(daemon_, nullptr, 0) < 0 && errno == EINTR) {
    }
    daemon_ = -1;
}

} // namespace tavik::testing
