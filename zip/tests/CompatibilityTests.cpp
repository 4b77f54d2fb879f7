// Archives written by real archivers at test time (Info-ZIP zip, Python's
// zipfile), read by us and extracted by us and by unzip: the two trees must
// be the same.
#include "platform/process/ChildProcess.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "platform/testing/SmallFileSystem.hpp"
#include "zip/Archive.hpp"
#include "zip/tests/ZipTestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <sys/stat.h>

using namespace tavik;
using namespace tavik::zip;
using namespace tavik::zip::testing;
namespace fs = std::filesystem;

namespace {

// Runs a program; its exit status (-1 when it did not exit) and standard
// output and error together.
std::pair<int, std::string> run(const std::vector<std::string>& arguments)
{
    std::vector<std::string> line = {"sh", "-c", "exec \"$@\" 2>&1", "sh"};
    line.insert(line.end(), arguments.begin(), arguments.end());
    auto outcome = process::runChild(line);
    if (!outcome) return {-1, outcome.error()->description()};
    return {outcome->exited ? outcome->exitStatus : -1, outcome->standardOutput};
}

// Writes ZIP archives with Python's zipfile: "mixed" (files stored or
// deflated, some names with the UTF-8 flag and some without) or "forced"
// (every file with ZIP64 extra fields).
constexpr const char* zipfileScript = R"(
import os, sys, time, zipfile
mode, source, target = sys.argv[1:]
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
            elif mode == "mixed" or os.path.isdir(path):
                archive.write(path, relative, zipfile.ZIP_DEFLATED if len(name) % 2 else zipfile.ZIP_STORED)
            else:
                info = zipfile.ZipInfo.from_file(path, relative)
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as data, archive.open(info, "w", force_zip64=True) as entry:
                    entry.write(data.read())
flags = {info.filename: info.flag_bits & 0x800 for info in zipfile.ZipFile(target).infolist()}
assert mode != "mixed" or (any(flags.values()) and not all(flags.values())), flags
)";

// Type, mode, time and content or link target of each item (unzip leaves a
// link's own date alone).
std::map<std::string, std::string> describeWithTimes(const fs::path& root)
{
    std::map<std::string, std::string> items;
    for (const auto& line : tavik::testing::describeTree(root)) {
        auto path = line.substr(0, line.find(" mode="));
        struct stat status {};
        lstat((root / path).c_str(), &status);
        items[path] = line + (S_ISLNK(status.st_mode) ? "" : " time=" + std::to_string(status.st_mtim.tv_sec));
    }
    return items;
}

class CompatibilityTest : public ::testing::Test {
protected:
    // An application bundle with a framework's links, odd modes, a unicode
    // name, an empty folder and odd-second dates.
    void SetUp() override
    {
        for (auto tool : {"zip", "unzip", "python3"})
            ASSERT_EQ(run({"sh", "-c", std::string("command -v ") + tool}).first, 0) << tool << " is needed (scripts/packages.txt)";
        auto contents = source() / "Tool.app/Contents";
        auto kit = contents / "Frameworks/Kit.framework";
        const std::string binary = sampleBytes(100000);
        const std::pair<fs::path, std::string> files[] = {{contents / "Info.plist", "<plist><dict/></plist>\n"},
            {contents / "MacOS/Tool", "#!/bin/sh\necho tool\n"}, {kit / "Versions/A/Kit", binary}, {kit / "Versions/A/Resources/r.txt", "r\n"},
            {contents / "Resources/h\xC3\xA9llo w\xC3\xB6rld.txt", "unicode\n"}, {contents / "Resources/private", "secret\n"}};
        for (const auto& [path, data] : files)
            tavik::testing::writeFile(path, data);
        fs::create_directories(contents / "Resources/empty");
        fs::permissions(contents / "MacOS/Tool", fs::perms(0755));
        fs::permissions(contents / "Resources/private", fs::perms(0600));
        fs::create_symlink("A", kit / "Versions/Current");
        fs::create_symlink("Versions/Current/Kit", kit / "Kit");
        fs::create_symlink("Versions/Current/Resources", kit / "Resources");
        std::vector<fs::path> all;
        for (auto it = fs::recursive_directory_iterator(source()); it != fs::recursive_directory_iterator(); ++it)
            all.push_back(it->path());
        time_t stamp = 1700000001;
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            stamp += 2;
            timespec times[2] = {{stamp, 0}, {stamp, 0}};
            utimensat(AT_FDCWD, it->c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
    }

    fs::path source() const { return scratch / "source"; }

    // Extracts with tavik-zip and with unzip and compares the trees.
    void expectSameTreeAsUnzip(const fs::path& archive)
    {
        auto ours = scratch / ("ours-" + archive.stem().string());
        auto theirs = scratch / ("theirs-" + archive.stem().string());
        ASSERT_EQ(run({"env", "TZ=UTC", "unzip", "-q", archive.string(), "-d", theirs.string()}).first, 0);
        auto [status, messages] = run({TAVIK_ZIP_TOOL, "extract", archive.string(), ours.string()});
        ASSERT_EQ(status, 0) << messages;
        auto ourTree = describeWithTimes(ours);
        EXPECT_EQ(ourTree, describeWithTimes(theirs));
        EXPECT_FALSE(ourTree.empty());
    }

    tavik::testing::ScratchFolder scratch {"tavik-zip-test"};
};

} // namespace

TEST_F(CompatibilityTest, ArchivesOfInfoZipAndZipfileListAndExtractLikeUnzip)
{
    // Written to a pipe, zip cannot seek back and follows each entry's data
    // with a data descriptor. It refuses to write links to a pipe, so the
    // streamed archive leaves them out.
    std::string links;
    for (auto it = fs::recursive_directory_iterator(source()); it != fs::recursive_directory_iterator(); ++it) {
        auto relative = it->path().lexically_relative(source()).string();
        if (it->is_symlink()) links += " '" + relative + "' '" + relative + "/*'";
    }
    struct Case {
        const char* name;
        std::string command; // run by bash in the source folder, writing "$OUT"
        bool descriptors = false, zip64 = false, comment = false;
    };
    const std::string zipfile = "TZ=UTC python3 '" + scratch.write("write-zip.py", zipfileScript).path().string() + "' ";
    const Case cases[] = {
        {"stored", "zip -q -r -y -0 \"$OUT\" Tool.app"},
        {"deflated", "zip -q -r -y -9 \"$OUT\" Tool.app"},
        {"streamed", "set -o pipefail; zip -q -r - Tool.app -x" + links + " | cat > \"$OUT\"", true},
        {"info-zip-zip64", "zip -q -r -y -fz \"$OUT\" Tool.app", false, true},
        {"zipfile", zipfile + "mixed . \"$OUT\"", false, false, true},
        {"zipfile-zip64", zipfile + "forced . \"$OUT\"", false, true, true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto made = scratch / (testCase.name + std::string(".zip"));
        auto [status, messages] = run({"env", "OUT=" + made.string(), "bash", "-c", "cd '" + source().string() + "' && " + testCase.command});
        ASSERT_EQ(status, 0) << messages;
        auto archive = Archive::open(URL::fileURL(made, false));
        ASSERT_TRUE(archive);
        bool anyDescriptor = false, anyZip64 = false;
        for (const Entry& entry : *archive) {
            anyDescriptor = anyDescriptor || entry.dataDescriptor();
            anyZip64 = anyZip64 || entry.localFileHeader().hasZip64ExtraField;
        }
        EXPECT_TRUE(anyDescriptor || !testCase.descriptors);
        EXPECT_TRUE(anyZip64 || !testCase.zip64); // in the local headers
        EXPECT_EQ(archive->comment(), testCase.comment ? "made by zipfile" : "");
        expectSameTreeAsUnzip(made);
    }
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
    EXPECT_EQ(run({TAVIK_ZIP_TOOL, "list", archive.path().string()}),
        std::pair(0, std::string("directory\tdir/\nfile\tdir/file\nsymlink\tdir/link\nfile\t../outside\n")));
    EXPECT_EQ(run({TAVIK_ZIP_TOOL, "extract", archive.path(), (scratch / "out").string()}),
        std::pair(1, std::string("tavik-zip: ../outside: The entry path is invalid.\n")));
    EXPECT_FALSE(fs::exists(scratch / "outside"));
    EXPECT_EQ(run({TAVIK_ZIP_TOOL, "list", (scratch / "make-believe.zip").string()}).first, 1);
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
    auto [status, message] = run({TAVIK_ZIP_TOOL, "extract", bomb.path().string(), destination.string()});
    EXPECT_EQ(status, 1);
    EXPECT_NE(message.find("The archive is too large for the free space"), std::string::npos) << message;
    EXPECT_TRUE(fs::is_empty(fileSystem->path()));

    // What fits is extracted into the same file system.
    auto fits = scratch.write("fits.zip", buildArchive({{.name = "small/one", .data = std::string(8 << 20, 'x'), .method = 8}}));
    EXPECT_EQ(run({TAVIK_ZIP_TOOL, "extract", fits.path().string(), destination.string()}).first, 0);
    EXPECT_EQ(fs::file_size(destination / "small/one"), 8u << 20);
}
