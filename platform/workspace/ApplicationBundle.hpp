#pragma once

#include "platform/foundation/Result.hpp"

#include <filesystem>

namespace tavik {

// The program an application bundle runs: Contents/MacOS/<CFBundleExecutable>
// from its Contents/Info.plist (XML or binary). Fails with a WorkspaceError
// saying what is wrong with the bundle.
Result<std::filesystem::path> bundleExecutable(const std::filesystem::path& bundle);

} // namespace tavik
