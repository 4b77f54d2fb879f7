#include "platform/testing/PrivateSessionBus.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>

using tavik::testing::PrivateSessionBus;

namespace {

// Runs a command with the given environment prefix and returns its output.
std::string run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    std::array<char, 256> buffer {};
    while (fgets(buffer.data(), buffer.size(), pipe))
        output += buffer.data();
    pclose(pipe);
    return output;
}

} // namespace

TEST(PrivateSessionBusTest, PointsTheSessionAddressAtAWorkingBusAndRestoresIt)
{
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 1);
    {
        PrivateSessionBus bus;
        EXPECT_EQ(std::string(std::getenv("DBUS_SESSION_BUS_ADDRESS")), bus.address());
        auto names = run("dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                         "org.freedesktop.DBus.ListNames 2>&1");
        EXPECT_NE(names.find("org.freedesktop.DBus"), std::string::npos) << names;
    }
    EXPECT_EQ(std::string(std::getenv("DBUS_SESSION_BUS_ADDRESS")), "unix:path=/nonexistent");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TEST(PrivateSessionBusTest, StartsServicesFromTheServiceFoldersWithTheGivenEnvironment)
{
    auto folder = std::filesystem::temp_directory_path() / ("tavik-bus-services-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    auto marker = folder / "started";
    // A service that records its environment variable, then takes its name.
    std::ofstream(folder / "app.tavik.TestService.service")
        << "[D-BUS Service]\nName=app.tavik.TestService\n"
        << "Exec=/bin/sh -c 'echo \"$TAVIK_TEST_VALUE\" > " << marker.string()
        << "; exec dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
           "org.freedesktop.DBus.RequestName string:app.tavik.TestService uint32:0 >/dev/null; sleep 5'\n";
    {
        PrivateSessionBus bus({{folder}, {{"TAVIK_TEST_VALUE", "from-the-test"}}});
        run("dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
            "org.freedesktop.DBus.StartServiceByName string:app.tavik.TestService uint32:0 >/dev/null 2>&1");
        std::string value;
        std::ifstream(marker) >> value;
        EXPECT_EQ(value, "from-the-test");
    }
    std::filesystem::remove_all(folder);
}
