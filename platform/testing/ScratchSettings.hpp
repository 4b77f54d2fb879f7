#pragma once

#include "platform/defaults/UserDefaults.hpp"
#include "platform/plist/PropertyList.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace tavik::testing {

namespace fs = std::filesystem;

// Settings tests keep their user defaults in a scratch XDG_CONFIG_HOME, set
// before any store is made (so the standard store is there too).
class ConfigHome {
public:
    static const fs::path& folder()
    {
        static ConfigHome home;
        return home.folder_.path();
    }

private:
    ConfigHome() { ::setenv("XDG_CONFIG_HOME", folder_.path().c_str(), 1); }
    ScratchFolder folder_ {"tavik-config"};
};

// A test with a fresh defaults store of its own, where `tavik` keeps it
// under the config folder root/"config", and a scratch folder `root` for the
// folders the test bookmarks.
class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ConfigHome::folder();
        userDefaults = defaults::UserDefaults::atPath(root / "config/tavik/app.tavik.Tavik.plist");
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
        auto* value = file ? file->find(key) : nullptr;
        return value ? std::optional(*value) : std::nullopt;
    }

    std::shared_ptr<defaults::UserDefaults> userDefaults;
    ScratchFolder scratch {"tavik-folders"};
    fs::path root = scratch.path();
};

} // namespace tavik::testing
