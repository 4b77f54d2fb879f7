// Archives written by real archivers at test time (Info-ZIP zip, Python's
// zipfile), read by us and extracted by us and by unzip: the two trees must
// be the same.
#include "zip/Archive.hpp"
#include "platform/testing/SmallFileSystem.hpp"
#include "zip/tests/ZipTestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <set>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace tavik;
using namespace tavik::zip;
using namespace tavik::zip::testing;
namespace fs = std::filesystem;

namespace {

// Runs a shell command line (test fixtures only); gives its exit status.
int run(const std::string& command)
{
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const fs::path& path)
{
    return "'" + path.string() + "'";
}

std::string output(const std::string& command, int* exitStatus = nullptr)
{
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, count);
    int status = pclose(pipe);
    if (exitStatus)
        *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

// One line per item: path, type, mode, time and content or link target.
std::map<std::string, std::string> describeTree(const fs::path& root)
{
    std::map<std::string, std::string> items;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat status {};
        lstat(it->path().c_str(), &status);
        std::string relative = it->path().lexically_relative(root).string();
        std::string description = std::to_string(status.st_mode & 07777);
        if (S_ISLNK(status.st_mode)) {
            // unzip leaves a link's own date alone.
            description = "link -> " + fs::read_symlink(it->path()).string();
        } else if (S_ISDIR(status.st_mode)) {
            description = "directory " + description + " " + std::to_string(status.st_mtim.tv_sec);
        } else {
            description = "file " + description + " " + std::to_string(status.st_mtim.tv_sec) + " "
                + std::to_string(std::hash<std::string>()(readFile(it->path())));
        }
        items[relative] = description;
    }
    return items;
}

// The system's interpreter when there is one: it starts faster than wrappers.
std::string python()
{
    return fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

void setTime(const fs::path& path, time_t seconds)
{
    timespec times[2] = {{seconds, 0}, {seconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

class CompatibilityTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto tool : {"zip", "unzip", "python3"})
            ASSERT_EQ(run(std::string("command -v ") + tool + " >/dev/null"), 0) << tool << " is needed (scripts/packages.txt)";
        makeBundle();
    }

    // An application bundle with a framework's links, odd modes, a unicode
    // name, an empty folder and odd-second dates.
    void makeBundle()
    {
        auto contents = source() / "Tool.app/Contents";
        auto versions = contents / "Frameworks/Kit.framework/Versions";
        fs::create_directories(versions / "A/Resources");
        fs::create_directories(contents / "MacOS");
        fs::create_directories(contents / "Resources/empty");
        scratch.write("source/Tool.app/Contents/Info.plist", "<plist><dict/></plist>\n");
        scratch.write("source/Tool.app/Contents/MacOS/Tool", "#!/bin/sh\necho tool\n");
        fs::permissions(contents / "MacOS/Tool", fs::perms(0755));
        std::string binary;
        for (int index = 0; index < 40000; ++index)
            binary += static_cast<char>((index * 7919) % 251) + std::to_string(index % 97);
        scratch.write("source/Tool.app/Contents/Frameworks/Kit.framework/Versions/A/Kit", binary);
        scratch.write("source/Tool.app/Contents/Frameworks/Kit.framework/Versions/A/Resources/r.txt", "r\n");
        scratch.write("source/Tool.app/Contents/Resources/h\xC3\xA9llo w\xC3\xB6rld.txt", "unicode\n");
        scratch.write("source/Tool.app/Contents/Resources/private", "secret\n");
        fs::permissions(contents / "Resources/private", fs::perms(0600));
        fs::create_symlink("A", versions / "Current");
        fs::create_symlink("Versions/Current/Kit", contents / "Frameworks/Kit.framework/Kit");
        fs::create_symlink("Versions/Current/Resources", contents / "Frameworks/Kit.framework/Resources");
        time_t stamp = 1700000001;
        std::vector<fs::path> all;
        for (auto it = fs::recursive_directory_iterator(source()); it != fs::recursive_directory_iterator(); ++it)
            all.push_back(it->path());
        for (auto it = all.rbegin(); it != all.rend(); ++it)
            setTime(*it, stamp += 2);
    }

    fs::path source() const { return scratch.path() / "source"; }

    std::set<std::string> sourceEntries(bool withLinks = true) const
    {
        std::set<std::string> entries;
        for (auto it = fs::recursive_directory_iterator(source()); it != fs::recursive_directory_iterator(); ++it) {
            if (!withLinks && it->is_symlink())
                continue;
            auto relative = it->path().lexically_relative(source()).string();
            entries.insert(it->is_directory() && !it->is_symlink() ? relative + "/" : relative);
        }
        return entries;
    }

    // Lists the archive with our reader and checks paths and types against the source.
    void expectListsTheSource(const fs::path& archivePath, bool withLinks = true)
    {
        auto archive = Archive::open(URL::fileURL(archivePath, false));
        ASSERT_TRUE(archive) << archivePath;
        std::set<std::string> listed;
        for (const Entry& entry : *archive) {
            listed.insert(entry.path());
            auto onDisk = fs::symlink_status(source() / entry.path());
            EntryType expected = fs::is_symlink(onDisk) ? EntryType::symlink
                : fs::is_directory(onDisk)              ? EntryType::directory
                                                        : EntryType::file;
            EXPECT_EQ(entry.type(), expected) << entry.path();
        }
        EXPECT_EQ(listed, sourceEntries(withLinks));
    }

    // Extracts with tavik-zip and with unzip and compares the trees.
    void expectSameTreeAsUnzip(const fs::path& archivePath, const std::string& name)
    {
        auto ours = scratch.path() / ("ours-" + name);
        auto theirs = scratch.path() / ("theirs-" + name);
        ASSERT_EQ(run("TZ=UTC unzip -q " + quoted(archivePath) + " -d " + quoted(theirs)), 0) << name;
        int status = 0;
        auto messages = output(std::string(TAVIK_ZIP_TOOL) + " extract " + quoted(archivePath) + " " + quoted(ours) + " 2>&1", &status);
        ASSERT_EQ(status, 0) << messages;
        auto ourTree = describeTree(ours);
        EXPECT_EQ(ourTree, describeTree(theirs)) << name;
        EXPECT_FALSE(ourTree.empty());
    }

    ScratchFolder scratch;
};

} // namespace

TEST_F(CompatibilityTest, InfoZipArchivesStoredDeflatedAndStreamed)
{
    auto stored = scratch.path() / "stored.zip";
    auto deflated = scratch.path() / "deflated.zip";
    auto streamed = scratch.path() / "streamed.zip";
    auto cd = "cd " + quoted(source()) + " && ";
    ASSERT_EQ(run(cd + "zip -q -r -y -0 " + quoted(stored) + " Tool.app"), 0);
    ASSERT_EQ(run(cd + "zip -q -r -y -9 " + quoted(deflated) + " Tool.app"), 0);
    // Written to a pipe, zip cannot seek back and follows each entry's data
    // with a data descriptor. It refuses to write symbolic links to a pipe,
    // so the streamed archive leaves them out.
    std::string links;
    for (const auto& entry : sourceEntries())
        if (fs::is_symlink(source() / entry))
            links += " " + quoted(fs::path(entry)) + " " + quoted(fs::path(entry + "/*"));
    ASSERT_FALSE(links.empty());
    int status = -1;
    auto bytes = output(cd + "zip -q -r - Tool.app -x" + links, &status);
    ASSERT_EQ(status, 0) << "zip could not write to a pipe";
    scratch.write("streamed.zip", bytes);

    for (const auto& [path, name] : {std::pair {stored, "stored"}, {deflated, "deflated"}, {streamed, "streamed"}}) {
        SCOPED_TRACE(name);
        expectListsTheSource(path, path != streamed);
        expectSameTreeAsUnzip(path, name);
    }
    auto archive = Archive::open(URL::fileURL(streamed, false));
    ASSERT_TRUE(archive);
    int described = 0;
    for (const Entry& entry : *archive)
        described += entry.dataDescriptor().has_value();
    EXPECT_GT(described, 0);
}

TEST_F(CompatibilityTest, PythonZipfileArchivesWithAndWithoutTheUTF8Flag)
{
    auto made = scratch.path() / "python.zip";
    std::string script = R"(
import os, sys, time, zipfile
source, target = sys.argv[1], sys.argv[2]
with zipfile.ZipFile(target, "w") as archive:
    archive.comment = b"made by zipfile"
    for folder, folders, files in os.walk(source):
        for name in sorted(folders) + sorted(files):
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, source)
            if os.path.islink(path):
                info = zipfile.ZipInfo(relative, time.gmtime(os.lstat(path).st_mtime)[:6])
                info.external_attr = 0o120777 << 16
                archive.writestr(info, os.readlink(path), zipfile.ZIP_STORED)
            else:
                archive.write(path, relative, zipfile.ZIP_DEFLATED if len(name) % 2 else zipfile.ZIP_STORED)
flags = {info.filename: info.flag_bits & 0x800 for info in zipfile.ZipFile(target).infolist()}
assert any(flags.values()) and not all(flags.values()), flags
)";
    scratch.write("make.py", script);
    ASSERT_EQ(run("TZ=UTC " + python() + " " + quoted(scratch.path() / "make.py") + " " + quoted(source()) + " " + quoted(made)), 0);

    expectListsTheSource(made);
    auto archive = Archive::open(URL::fileURL(made, false));
    ASSERT_TRUE(archive);
    EXPECT_EQ(archive->comment(), "made by zipfile");
    expectSameTreeAsUnzip(made, "python");
}

TEST_F(CompatibilityTest, ByteLevelArchivesExtractLikeUnzip)
{
    auto archive = scratch.write("bytes.zip",
        buildArchive({
            {.name = "folder/", .externalAttributes = directory},
            {.name = "folder/plain", .data = "no signature", .method = 8, .dataDescriptor = true, .descriptorSignature = false},
            {.name = "folder/signed", .data = std::string(5000, 'z'), .method = 8, .dataDescriptor = true},
            {.name = "folder/caf\xC3\xA9", .data = "flagged", .externalAttributes = 0100640u << 16, .flags = 0x0800},
        }));
    expectSameTreeAsUnzip(archive.path(), "bytes");
}

TEST_F(CompatibilityTest, TheToolListsAndNamesTheEntryThatFailed)
{
    auto archive = scratch.write("tool.zip",
        buildArchive({
            {.name = "dir/", .externalAttributes = directory},
            {.name = "dir/file", .data = "x"},
            {.name = "dir/link", .data = "file", .externalAttributes = symbolicLink},
            {.name = "../outside", .data = "x"},
        }));
    int status = 0;
    auto listed = output(std::string(TAVIK_ZIP_TOOL) + " list " + quoted(archive.path()), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listed, "directory\tdir/\nfile\tdir/file\nsymlink\tdir/link\nfile\t../outside\n");

    auto message = output(std::string(TAVIK_ZIP_TOOL) + " extract " + quoted(archive.path()) + " "
            + quoted(scratch.path() / "out") + " 2>&1",
        &status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(message, "tavik-zip: ../outside: The entry path is invalid.\n");
    EXPECT_FALSE(fs::exists(scratch.path() / "outside"));

    output(std::string(TAVIK_ZIP_TOOL) + " list " + quoted(scratch.path() / "make-believe.zip") + " 2>/dev/null", &status);
    EXPECT_EQ(status, 1);
}

TEST_F(CompatibilityTest, Zip64ArchivesFromInfoZipAndZipfile)
{
    auto infoZip = scratch.path() / "forced.zip";
    ASSERT_EQ(run("cd " + quoted(source()) + " && zip -q -r -y -fz " + quoted(infoZip) + " Tool.app"), 0);

    auto zipfileForced = scratch.path() / "python-forced.zip";
    auto zipfileMany = scratch.path() / "python-many.zip";
    std::string script = R"(
import os, sys, time, zipfile
source, forced, many = sys.argv[1], sys.argv[2], sys.argv[3]
with zipfile.ZipFile(forced, "w", zipfile.ZIP_DEFLATED) as archive:
    for folder, folders, files in os.walk(source):
        for name in sorted(folders) + sorted(files):
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, source)
            status = os.lstat(path)
            info = zipfile.ZipInfo(relative + ("/" if os.path.isdir(path) and not os.path.islink(path) else ""),
                                   time.gmtime(status.st_mtime)[:6])
            info.external_attr = status.st_mode << 16
            if os.path.islink(path):
                archive.writestr(info, os.readlink(path), zipfile.ZIP_STORED)
            elif os.path.isdir(path):
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as data, archive.open(info, "w", force_zip64=True) as entry:
                    entry.write(data.read())
# More entries than the classic end record can count.
with zipfile.ZipFile(many, "w") as archive:
    for index in range(66000):
        archive.writestr("many/%05d" % index, str(index % 7))
)";
    scratch.write("make64.py", script);
    ASSERT_EQ(run("TZ=UTC " + python() + " " + quoted(scratch.path() / "make64.py") + " " + quoted(source()) + " "
                  + quoted(zipfileForced) + " " + quoted(zipfileMany)),
        0);

    for (const auto& [path, name] : {std::pair {infoZip, "info-zip"}, {zipfileForced, "zipfile"}}) {
        SCOPED_TRACE(name);
        auto archive = Archive::open(URL::fileURL(path, false));
        ASSERT_TRUE(archive);
        // Both write ZIP64 extra fields into the local headers.
        bool anyZip64 = false;
        for (const Entry& entry : *archive)
            anyZip64 = anyZip64 || entry.localFileHeader().hasZip64ExtraField;
        EXPECT_TRUE(anyZip64);
        expectListsTheSource(path);
        expectSameTreeAsUnzip(path, name);
    }

    auto many = Archive::open(URL::fileURL(zipfileMany, false));
    ASSERT_TRUE(many);
    EXPECT_TRUE(many->isZip64());
    EXPECT_EQ(many->centralDirectory().entryCount, 66000u);
    EXPECT_EQ(many->entries().size(), 66000u);
    auto extracted = scratch.path() / "many-extracted";
    int status = 0;
    auto messages = output(std::string(TAVIK_ZIP_TOOL) + " extract " + quoted(zipfileMany) + " " + quoted(extracted) + " 2>&1", &status);
    ASSERT_EQ(status, 0) << messages;
    size_t count = 0;
    for ([[maybe_unused]] const auto& item : fs::directory_iterator(extracted / "many"))
        ++count;
    EXPECT_EQ(count, 66000u);
    EXPECT_EQ(readFile(extracted / "many/00000"), "0");
    EXPECT_EQ(readFile(extracted / "many/65999"), std::to_string(65999 % 7));
}

TEST_F(CompatibilityTest, TheToolRefusesAnArchiveLargerThanTheFreeSpace)
{
    std::string whyNot;
    auto fileSystem = tavik::testing::SmallFileSystem::mount(64 << 20, whyNot);
    if (!fileSystem)
        GTEST_SKIP() << whyNot;

    // 2 MiB that honestly record 2 GiB of zeros: 32 entries of 64 MiB each,
    // every one within its recorded size.
    constexpr uint64_t entrySize = 64 << 20;
    std::string zeros = deflate(std::string(entrySize, '\0'));
    std::vector<TestEntry> entries;
    for (int index = 0; index < 32; ++index)
        entries.push_back({.name = "zeros/" + std::to_string(index), .method = 8, .storedData = zeros, .recordedUncompressedSize = entrySize});
    auto bomb = scratch.write("zeros.zip", buildArchive(entries));
    EXPECT_LT(fs::file_size(bomb.path()), 3u << 20);

    auto destination = fileSystem->path() / "out";
    int status = 0;
    auto message = output(std::string(TAVIK_ZIP_TOOL) + " extract " + quoted(bomb.path()) + " " + quoted(destination) + " 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(message.find("The archive is too large for the free space"), std::string::npos) << message;
    EXPECT_TRUE(fs::is_empty(fileSystem->path()));

    // What fits is extracted into the same file system.
    auto fits = scratch.write("fits.zip", buildArchive({{.name = "small/one", .data = std::string(8 << 20, 'x'), .method = 8}}));
    message = output(std::string(TAVIK_ZIP_TOOL) + " extract " + quoted(fits.path()) + " " + quoted(destination) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << message;
    EXPECT_EQ(fs::file_size(destination / "small/one"), 8u << 20);
}
