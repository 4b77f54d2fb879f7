#include "disk-image-service/tests/TestSupport.hpp"

#include "platform/testing/Files.hpp"

namespace tavik::service::testing {

void writeFakeHdiutil(const std::filesystem::path& folder, const std::string& body)
{
    auto script = folder / "hdiutil";
    auto log = folder / "arguments.log";
    tavik::testing::writeFile(script, "#!/bin/sh\n{ for argument in \"$0\" \"$@\"; do printf '%s\\0' \"$argument\"; done; printf '\\n'; } >> '" + log.string() + "'\n" + body + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

std::vector<std::vector<std::string>> recordedInvocations(const std::filesystem::path& folder)
{
    std::vector<std::vector<std::string>> invocations;
    std::vector<std::string> current;
    std::string argument;
    for (char c : tavik::testing::readFile(folder / "arguments.log")) {
        if (c == '\0') {
            current.push_back(std::move(argument));
            argument.clear();
        } else if (c == '\n' && argument.empty()) {
            if (!current.empty())
                current.front() = std::filesystem::path(current.front()).filename().string();
            invocations.push_back(std::move(current));
            current.clear();
        } else {
            argument += c;
        }
    }
    return invocations;
}

std::string attachPlist(const std::vector<std::optional<std::string>>& mountPoints)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>system-entities</key>\n<array>\n";
    int index = 0;
    for (const auto& mountPoint : mountPoints) {
        text += "<dict><key>content-hint</key><string>" + std::string(mountPoint ? "Apple_HFS" : "Apple_partition_map")
            + "</string><key>dev-entry</key><string>/dev/disk4s" + std::to_string(++index) + "</string>"
            + "<key>potentially-mountable</key><" + (mountPoint ? "true" : "false") + "/>";
        if (mountPoint)
            text += "<key>mount-point</key><string>" + *mountPoint + "</string>";
        text += "</dict>\n";
    }
    return text + "</array>\n</dict>\n</plist>\n";
}

} // namespace tavik::service::testing
