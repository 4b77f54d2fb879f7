// Changes the file sources of a defaults file from a process of its own, the
// way `tavik sources` does: tavik_sources_editor FILE remove ID...
//                          tavik_sources_editor FILE set ID FileFoundAction VALUE
#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"

#include <cstdio>
#include <set>
#include <string>

using namespace tavik;

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FILE remove ID... | FILE set ID FileFoundAction VALUE\n", argv[0]);
        return 2;
    }
    auto manager = FileSourceConfigurationsManager::make(defaults::UserDefaults::atPath(argv[1]));
    std::string command = argv[2];
    Result<void> done;
    if (command == "remove") {
        std::set<std::string> ids(argv + 3, argv + argc);
        done = manager->removeConfigurations([&](const FileSourceConfiguration& configuration) {
            return ids.contains(configuration.id());
        });
    } else if (command == "set" && argc == 6 && std::string(argv[4]) == FileSourceConfiguration::fileFoundActionKey) {
        auto option = options::FileFoundActionOption::fromRawValue(argv[5]);
        if (!option) {
            std::fprintf(stderr, "unknown value %s\n", argv[5]);
            return 2;
        }
        bool found = false;
        for (const auto& configuration : manager->fileSourceConfigurations()) {
            if (configuration->id() == argv[3]) {
                found = true;
                done = configuration->fileFoundAction().store(*option);
            }
        }
        if (!found) {
            std::fprintf(stderr, "no source %s\n", argv[3]);
            return 1;
        }
    } else {
        std::fprintf(stderr, "unknown command %s\n", command.c_str());
        return 2;
    }
    if (!done) {
        std::fprintf(stderr, "%s failed: %s\n", command.c_str(), done.error()->description().c_str());
        return 1;
    }
    return 0;
}
