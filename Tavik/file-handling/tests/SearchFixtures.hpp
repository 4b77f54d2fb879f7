#pragma once

#include "Tavik/file-handling/InstallableApplication.hpp"
#include "actions/tests/TestActions.hpp"
#include "platform/testing/Archives.hpp"
#include "platform/testing/Bundles.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Images.hpp"
#include "platform/testing/PrivateSessionBus.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace tavik::testing {

namespace fs = std::filesystem;

// TMPDIR and XDG_RUNTIME_DIR in a scratch folder and the built hdiutil
// stand-in first on PATH, for the lifetime of the object.
class SearchEnvironment {
public:
    SearchEnvironment()
    {
        environment_.prependToPath(TAVIK_HDIUTIL_FOLDER).set("TMPDIR", temporary_.path().string()).set("XDG_RUNTIME_DIR", temporary_.path().string());
    }
    // The process's temporary folder, and its "mounts".
    fs::path temporaryFolder() const { return temporary_ / ("tavik-" + std::to_string(getuid())); }
    fs::path mountsFolder() const { return temporaryFolder() / "mounts"; }
    // A private session bus that starts duvrin-xpc (with this environment) on demand.
    std::unique_ptr<PrivateSessionBus> busWithDiskImageService() const
    {
        writeFile(temporary_ / "services/app.tavik.DuvrinXPC.service", std::string("[D-BUS Service]\nName=app.tavik.DuvrinXPC\nExec=") + TAVIK_DUVRIN_XPC + " --idle-timeout 5\n");
        return std::make_unique<PrivateSessionBus>(PrivateSessionBus::Options {{temporary_ / "services"},
            {{"PATH", std::getenv("PATH")}, {"TMPDIR", std::getenv("TMPDIR")}, {"XDG_RUNTIME_DIR", std::getenv("XDG_RUNTIME_DIR")}, {"TAVIK_LOG", "stderr"}}});
    }

private:
    ScratchFolder temporary_ {"tavik-search"};
    ScopedEnvironment environment_;
};

// The chain of a source from the item outwards, e.g. "dmg(Outer.dmg) < directory".
std::string describeSource(const InstallableApplication::Source& source);
// Sorted "path [package] in source" lines, paths relative to `base` (only
// the name when none is given).
std::vector<std::string> describeItems(const std::vector<InstallableApplication>& items, const fs::path& base = {});

inline const InstallableApplication::Source downloadsSource = InstallableApplication::Source::directory(URL::fileURL("/downloads", true), FileSource::directory);

} // namespace tavik::testing
