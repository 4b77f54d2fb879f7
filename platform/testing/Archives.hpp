#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavik::testing {

// Archives written by Python's own archivers, entry by entry, so that a test
// can also write what no careful archiver would (absolute names, "..",
// links out of the tree). Each entry is a Python expression built from the
// helpers the script defines; strings in them are Python literals.

// ZIP (deflated, Unix modes, fixed time): file(name, data=b"data"),
// folder(name), link(name, target_bytes).
void writePythonZip(const std::filesystem::path& archive, const std::vector<std::string>& entries);

// tar (GNU format, fixed time): file(name, data=b"data"), folder(name),
// link(name, target), hardlink(name, target), device(name), fifo(name).
// Uncompressed, whatever the archive's name.
void writePythonTar(const std::filesystem::path& archive, const std::vector<std::string>& entries);

} // namespace tavik::testing
