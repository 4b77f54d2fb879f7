#include "Tavik/file-handling/tests/SearchFixtures.hpp"

#include <unistd.h>

namespace tavik::testing {

namespace fs = std::filesystem;

SearchEnvironment::SearchEnvironment()
{
    environment_.prependToPath(TAVIK_HDIUTIL_FOLDER)
        .set("TMPDIR", temporary_.path().string())
        .set("XDG_RUNTIME_DIR", temporary_.path().string());
}

SearchEnvironment::~SearchEnvironment() = default;

fs::path SearchEnvironment::mountsFolder() const
{
    return temporary_.path() / ("tavik-" + std::to_string(getuid())) / "mounts";
}

std::string describeSource(const InstallableApplication::Source& source)
{
    if (auto* dmg = std::get_if<InstallableApplication::Source::DMG>(&source.value))
        return "dmg(" + dmg->fileURL.lastPathComponent() + ") < " + describeSource(*dmg->parent);
    if (auto* zip = std::get_if<InstallableApplication::Source::ZIP>(&source.value))
        return "zip(" + zip->url.lastPathComponent() + ") < " + describeSource(*zip->parent);
    return "directory";
}

} // namespace tavik::testing
