#pragma once

#include <compare>
#include <string_view>

namespace tavik::updater {

// Orders release versions as people read them: runs of digits compare as
// numbers ("1.10" after "1.9"), other runs as text, separators do not count,
// missing trailing numbers count as zero ("1.2" equals "1.2.0"), and a text
// run where the other version has ended marks a pre-release ("1.2b1" before "1.2").
std::strong_ordering compareVersions(std::string_view first, std::string_view second);

} // namespace tavik::updater
