#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tavik::testing {

// What makeBundle puts into an application bundle.
struct BundleContents {
    // CFBundleExecutable; the bundle's name without ".app" when empty.
    std::string executable {};
    // CFBundleShortVersionString, when given.
    std::optional<std::string> version {};
    // The executable: a shell script.
    std::string script = "#!/bin/sh\nexit 0\n";
};

// Makes an application bundle: Contents/Info.plist naming the executable,
// and the executable Contents/MacOS/<executable>. Gives the bundle's path.
std::filesystem::path makeBundle(const std::filesystem::path& bundle, const BundleContents& contents = {});

} // namespace tavik::testing
