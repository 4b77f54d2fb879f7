#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavik::hdiutil {

// The partition hints of an image ("Apple_HFS", "MBR", "Apple_Free", ...), in
// the order of its block tables, read from the technical listing of
// `7zz l -slt`, whose comment for each table is the table's name, such
// as "disk image (Apple_HFS : 4)".
std::vector<std::string> partitionHints(std::string_view listing);

// The property list that `attach -plist` prints: the partition scheme (if the
// image has one), its partitions, and the mounted volume with its
// "mount-point" under "system-entities".
std::string attachPropertyList(const std::vector<std::string>& hints, int diskNumber, const std::string& mountPoint);

// Whether the text can stand in an XML property list string: valid UTF-8
// without control characters that XML 1.0 forbids.
bool isPropertyListText(std::string_view text);

} // namespace tavik::hdiutil
