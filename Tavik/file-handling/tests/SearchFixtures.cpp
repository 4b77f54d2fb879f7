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
