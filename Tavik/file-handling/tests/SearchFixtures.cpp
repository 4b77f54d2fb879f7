#include "Tavik/file-handling/tests/SearchFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

namespace tavik::testing {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder()
{
    std::string pattern = (fs::temp_directory_path() / "tavik-search-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch folder");
    path_ = fs::path(pattern);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    // Extracted trees may hold read-only folders.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

SearchEnvironment::SearchEnvironment()
{
    auto set = [this](const char* name, const std::string& value) {
        const char* previous = std::getenv(name);
        saved_.emplace_back(name, previous ? std::optional<std::string>(previous) : std::nullopt);
        setenv(name, value.c_str(), 1);
    };
    const char* path = std::getenv("PATH");
    std::string searchPath = TAVIK_HDIUTIL_FOLDER;
    searchPath += ':';
    searchPath += path ? path : "/usr/bin:/bin";
    set("PATH", searchPath);
    set("TMPDIR", temporary_.path().string());
    set("XDG_RUNTIME_DIR", temporary_.path().string());
}

SearchEnvironment::~SearchEnvironment()
{
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second)
            setenv(it->first.c_str(), it->second->c_str(), 1);
        else
            unsetenv(it->first.c_str());
    }
}

fs::path SearchEnvironment::mountsFolder() const
{
    return temporary_.path() / ("tavik-" + std::to_string(getuid())) / "mounts";
}

int run(const std::vector<std::string>& arguments, const std::optional<fs::path>& folder)
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (folder)
        posix_spawn_file_actions_addchdir_np(&actions, folder->c_str());
    pid_t child = 0;
    int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void writeFile(const fs::path& path, const std::string& contents)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
}

std::string readFile(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

void makeDiskImage(const fs::path& source, const fs::path& image)
{
    fs::create_directories(image.parent_path());
    ASSERT_EQ(run({"python3", TAVIK_MAKE_DMG, source.string(), image.string()}), 0) << "make-dmg " << image;
}

void writePythonZip(const fs::path& archive, const std::vector<std::string>& entries)
{
    std::string script = R"(import sys, zipfile
def info(name, mode):
    i = zipfile.ZipInfo(name, (2024, 5, 6, 7, 8, 10))
    i.create_system = 3
    i.external_attr = mode << 16
    return i
def file(name, data=b"data"):
    return info(name, 0o100644), data
def folder(name):
    return info(name, 0o040755), b""
def link(name, target):
    return info(name, 0o120755), target
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
)";
    for (const auto& entry : entries)
        script += "    z.writestr(*" + entry + ")\n";
    if (entries.empty())
        script += "    pass\n";
    ASSERT_EQ(run({"python3", "-c", script, archive.string()}), 0) << "writing " << archive;
}

void makeBundle(const fs::path& bundle)
{
    auto name = bundle.stem().string();
    writeFile(bundle / "Contents/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>" + name
            + "</string></dict></plist>\n");
    writeFile(bundle / "Contents/MacOS" / name, "#!/bin/sh\nexit 0\n");
    fs::permissions(bundle / "Contents/MacOS" / name, fs::perms(0755));
}

std::string pngImage(unsigned size)
{
    ScratchFolder folder;
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
    ScratchFolder folder;
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
    fs::create_directories(appImage.parent_path());
    writeFile(appImage, runtime + readFile(image));
    fs::permissions(appImage, fs::perms(0755));
}

void writePythonTar(const fs::path& archive, const std::vector<std::string>& entries)
{
    std::string script = R"(import io, sys, tarfile
def info(name, kind, data=b""):
    i = tarfile.TarInfo(name)
    i.type = kind
    i.mode = 0o755 if kind in (tarfile.DIRTYPE, tarfile.SYMTYPE) else 0o644
    i.size = len(data) if kind == tarfile.REGTYPE else 0
    i.mtime = 1700000000
    return i, io.BytesIO(data) if kind == tarfile.REGTYPE else None
def file(name, data=b"data"):
    return info(name, tarfile.REGTYPE, data)
def folder(name):
    return info(name, tarfile.DIRTYPE)
def link(name, target):
    i, _ = info(name, tarfile.SYMTYPE)
    i.linkname = target
    return i, None
def hardlink(name, target):
    i, _ = info(name, tarfile.LNKTYPE)
    i.linkname = target
    return i, None
def device(name):
    i, _ = info(name, tarfile.CHRTYPE)
    i.devmajor, i.devminor = 1, 3
    return i, None
def fifo(name):
    return info(name, tarfile.FIFOTYPE)
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT) as t:
)";
    for (const auto& entry : entries)
        script += "    t.addfile(*" + entry + ")\n";
    if (entries.empty())
        script += "    pass\n";
    ASSERT_EQ(run({"python3", "-c", script, archive.string()}), 0) << "writing " << archive;
}

std::vector<std::string> describeTree(const fs::path& root)
{
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat status {};
        lstat(it->path().c_str(), &status);
        std::ostringstream line;
        line << fs::relative(it->path(), root).string() << " mode=" << std::oct << (status.st_mode & 07777) << " ";
        if (S_ISLNK(status.st_mode))
            line << "link->" << fs::read_symlink(it->path()).string();
        else if (S_ISDIR(status.st_mode))
            line << "folder";
        else
            line << "file:" << readFile(it->path());
        lines.push_back(line.str());
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string describeSource(const InstallableApplication::Source& source)
{
    if (auto* dmg = std::get_if<InstallableApplication::Source::DMG>(&source.value))
        return "dmg(" + dmg->fileURL.lastPathComponent() + ") < " + describeSource(*dmg->parent);
    if (auto* zip = std::get_if<InstallableApplication::Source::ZIP>(&source.value))
        return "zip(" + zip->url.lastPathComponent() + ") < " + describeSource(*zip->parent);
    return "directory";
}

} // namespace tavik::testing
