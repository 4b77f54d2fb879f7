#include "platform/testing/Bundles.hpp"

#include "platform/testing/Files.hpp"

namespace tavik::testing {

namespace fs = std::filesystem;

fs::path makeBundle(const fs::path& bundle, const BundleContents& contents)
{
    auto executable = contents.executable.empty() ? bundle.stem().string() : contents.executable;
    std::string keys = "<key>CFBundleExecutable</key><string>" + executable + "</string>";
    if (contents.version)
        keys += "<key>CFBundleShortVersionString</key><string>" + *contents.version + "</string>";
    writeFile(bundle / "Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + keys + "</dict></plist>\n");
    auto program = bundle / "Contents/MacOS" / executable;
    writeFile(program, contents.script);
    fs::permissions(program, fs::perms(0755));
    return bundle;
}

} // namespace tavik::testing
