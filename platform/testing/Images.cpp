#include "platform/testing/Images.hpp"

#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

namespace tavik::testing {

namespace fs = std::filesystem;

void makeDiskImage(const fs::path& source, const fs::path& image)
{
    if (image.has_parent_path())
        fs::create_directories(image.parent_path());
    ASSERT_EQ(run({"python3", TAVIK_MAKE_DMG, source.string(), image.string()}), 0) << "make-dmg " << image;
}

std::string pngImage(unsigned size)
{
    ScratchFolder folder("tavik-png");
    auto script = R"(import struct, sys, zlib
size = int(sys.argv[2])
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
rows = b"".join(b"\x00" + b"\x20\x80\xc0" * size for _ in range(size))
png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)) \
    + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
open(sys.argv[1], "wb").write(png)
)";
    EXPECT_EQ(run({"python3", "-c", script, (folder / "icon.png").string(), std::to_string(size)}), 0);
    return readFile(folder / "icon.png");
}

void makeAppImage(const fs::path& appImage, const std::string& name, const std::optional<fs::path>& contents)
{
    ScratchFolder folder("tavik-appimage");
    fs::path tree = contents ? *contents : folder / "tree";
    if (!contents) {
        writeFile(tree / (name + ".desktop"),
            "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=AppRun --start %U\nTryExec=AppRun\nIcon=" + name
                + "\nCategories=Utility;\n");
        writeFile(tree / (name + ".png"), pngImage());
        fs::create_symlink(name + ".png", tree / ".DirIcon");
        writeFile(tree / "AppRun", "#!/bin/sh\nexit 0\n");
        fs::permissions(tree / "AppRun", fs::perms(0755));
    }
    auto image = folder / "image.squashfs";
    ASSERT_EQ(run({"mksquashfs", tree.string(), image.string(), "-noappend", "-quiet", "-all-root"}), 0) << "mksquashfs";
    // The runtime: a real program (it runs and exits at once) carrying the
    // magic; its section header table ends where the image starts.
    auto runtime = readFile("/bin/true");
    ASSERT_GT(runtime.size(), 64u);
    runtime.replace(8, 3, std::string("AI\x02", 3));
    writeFile(appImage, runtime + readFile(image));
    fs::permissions(appImage, fs::perms(0755));
}

} // namespace tavik::testing
