#include "disk-image-service/tests/TestSupport.hpp"

namespace tavik::service::testing {

void writeFakeHdiutil(const std::filesystem::path& folder, const std::string& body)
{
    auto script = folder / "hdiutil";
    tavik::testing::writeFile(script, "#!/bin/sh\nprintf '%s\\0' \"$0\" \"$@\" '' >> '" + (folder / "arguments.log").string() + "'\n" + body + "\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
}

std::vector<std::vector<std::string>> recordedInvocations(const std::filesystem::path& folder)
{
    std::vector<std::vector<std::string>> invocations(1);
    const std::string log = tavik::testing::readFile(folder / "arguments.log");
    for (size_t start = 0, end; (end = log.find('\0', start)) != std::string::npos; start = end + 1) {
        auto argument = log.substr(start, end - start);
        if (argument.empty())
            invocations.emplace_back();
        else
            invocations.back().push_back(invocations.back().empty() ? std::filesystem::path(argument).filename().string() : argument);
    }
    invocations.pop_back();
    return invocations;
}

std::string attachPlist(const std::vector<std::optional<std::string>>& mountPoints)
{
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>system-entities</key>\n<array>\n";
    for (const auto& mountPoint : mountPoints) {
        text += "<dict><key>content-hint</key><string>" + std::string(mountPoint ? "Apple_HFS" : "Apple_partition_map") + "</string>";
        text += (mountPoint ? "<key>mount-point</key><string>" + *mountPoint + "</string>" : std::string()) + "</dict>\n";
    }
    return text + "</array>\n</dict>\n</plist>\n";
}

} // namespace tavik::service::testing
