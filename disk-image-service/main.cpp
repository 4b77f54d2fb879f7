// duvrin-xpc: the disk image service. The session bus starts it on demand
// when a call for app.tavik.DuvrinXPC arrives; it quits after a while
// without calls.
//   duvrin-xpc [--idle-timeout SECONDS]

#include "disk-image-service/ServiceListener.hpp"
#include "disk-image-service/ToolSearchPath.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace {

// The folder this program was started from: where the hdiutil stand-in is
// installed beside it, whatever the prefix.
std::filesystem::path ownFolder()
{
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable.parent_path();
}

} // namespace

int main(int argc, char** argv)
{
    tavik::service::ServiceListener::Options options;
    for (int index = 1; index < argc; ++index) {
        std::string_view argument = argv[index];
        if (argument == "--idle-timeout" && index + 1 < argc) {
            std::string_view value = argv[++index];
            double seconds = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (error != std::errc() || end != value.data() + value.size() || seconds <= 0) {
                std::fprintf(stderr, "duvrin-xpc: --idle-timeout needs a positive number of seconds\n");
                return 2;
            }
            options.idleTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        } else {
            std::fprintf(stderr, "usage: duvrin-xpc [--idle-timeout SECONDS]\n");
            return 2;
        }
    }
    if (auto folder = ownFolder(); !folder.empty())
        tavik::service::addToSearchPathIfMissing("hdiutil", folder);
    tavik::service::ServiceListener listener(std::move(options));
    return listener.run();
}
