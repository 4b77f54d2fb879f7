#pragma once

#include "platform/defaults/UserDefaults.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/plist/PropertyList.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace tavik::testing {

namespace fs = std::filesystem;

// The user defaults of these tests live in a temporary XDG_CONFIG_HOME, set
// before any store is made (so the standard store is there too).
class ConfigHome {
public:
    static const fs::path& folder()
    {
        static ConfigHome home;
        return home.folder_;
    }

private:
    ConfigHome()
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-config-XXXXXX").string();
        folder_ = fs::path(mkdtemp(pattern.data()));
        ::setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }
    ~ConfigHome()
    {
        std::error_code error;
        fs::remove_all(folder_, error);
    }
    fs::path folder_;
};

// A fresh defaults store of its own, and a temporary folder for the folders
// the test bookmarks.
class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigHome::folder();
        userDefaults = defaults::UserDefaults::suite("app.tavik.Tavik.test-" + UUID().uuidString());
        std::string pattern = (fs::temp_directory_path() / "tavik-folders-XXXXXX").string();
        root = fs::path(mkdtemp(pattern.data()));
    }
    void TearDown() override
    {
        std::error_code error;
        fs::remove_all(root, error);
    }

    fs::path makeFolder(const fs::path& relative)
    {
        fs::create_directories(root / relative);
        return root / relative;
    }

    // What the file on disk holds under the key, read apart from the store.
    std::optional<plist::PropertyList> stored(const std::string& key) const
    {
        auto file = plist::PropertyList::readFile(userDefaults->filePath());
        if (!file)
            return std::nullopt;
        if (auto* value = file->find(key))
            return *value;
        return std::nullopt;
    }

    std::shared_ptr<defaults::UserDefaults> userDefaults;
    fs::path root;
};

#ifdef TAVIK_SOURCES_EDITOR
// Runs the sources editor: another process changing the file sources in the
// defaults file, as `tavik sources` does. Its exit status, -1 if it did not exit.
inline int runSourcesEditor(const fs::path& file, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {TAVIK_SOURCES_EDITOR, file.string()});
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

} // namespace tavik::testing
