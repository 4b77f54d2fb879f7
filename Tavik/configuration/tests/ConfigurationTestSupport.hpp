#pragma once

#include "Tavik/configuration/FileSourceConfigurationsManager.hpp"
#include "platform/foundation/UUID.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScratchSettings.hpp"

#include <fstream>
#include <vector>

namespace tavik::testing {

namespace fs = std::filesystem;

// A settings test with the file sources and the destinations kept in its store.
class SourcesTest : public ConfigurationTest {
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        sources = FileSourceConfigurationsManager::make(userDefaults);
        destinations = std::make_shared<ApplicationsDestinationManager>(userDefaults);
    }

    // Watches a new folder of the scratch folder.
    FileSourceConfigurationPtr addFolder(const fs::path& name, std::optional<UUID> destination = std::nullopt)
    {
        return sources->addFolder(URL::fileURL(makeFolder(name), true), destination).value();
    }

    std::shared_ptr<FileSourceConfigurationsManager> sources;
    std::shared_ptr<ApplicationsDestinationManager> destinations;
};

#ifdef TAVIK_EXECUTABLE
// Runs the built `tavik` on the defaults in <configFolder>/tavik, as the user
// does from another terminal. Its exit status, -1 if it did not exit.
inline int runTavik(const fs::path& configFolder, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {"env", "XDG_CONFIG_HOME=" + configFolder.string(), TAVIK_EXECUTABLE});
    return run(arguments);
}
#endif

} // namespace tavik::testing
