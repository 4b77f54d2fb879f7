#pragma once

#include <cstddef>
#include <cstdint>

namespace tavik::zip {

// Opens bytes as an archive, lists it, reads and extracts its entries into a
// fresh temporary folder, and aborts if anything was created outside that
// folder. The libFuzzer target and the corpus replay test both call it.
void fuzzOneInput(const uint8_t* data, size_t size);

} // namespace tavik::zip
