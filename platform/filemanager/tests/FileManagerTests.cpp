#include "platform/filemanager/FileManager.hpp"
#include "platform/filemanager/SpaceBudget.hpp"
#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

std::string contents(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::stringstream buffer;
    buffer << stream.rdbuf();
    return buffer.str();
}

void setTimes(const fs::path& path, time_t seconds, long nanoseconds)
{
    struct timespec times[2] = {{seconds - 1000, 0}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Everything a faithful copy keeps, per item of a tree.
std::map<std::string, std::string> describe(const fs::path& root)
{
    std::map<std::string, std::string> items;
    auto add = [&](const fs::path& path, const std::string& name) {
        struct stat status {};
        EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
        std::ostringstream text;
        text << std::oct << (status.st_mode & 0177777) << std::dec << " mtime " << status.st_mtim.tv_sec << "."
             << status.st_mtim.tv_nsec;
        if (S_ISLNK(status.st_mode))
            text << " -> " << fs::read_symlink(path).string();
        else if (S_ISREG(status.st_mode))
            text << " " << std::hash<std::string>()(contents(path)) << " size " << status.st_size;
        items[name] = text.str();
    };
    // Directory times last: listing a folder does not change them.
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        add(it->path(), it->path().lexically_relative(root).string());
    add(root, ".");
    return items;
}

class FileManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "tavik-filemanager-XXXXXX").string();
        folder_ = mkdtemp(pattern.data());
    }
    void TearDown() override
    {
        fs::permissions(folder_, fs::perms::owner_all, fs::perm_options::add);
        (void)FileManager().removeItem(URL::fileURL(folder_, true));
    }

    void write(const fs::path& path, const std::string& text, mode_t mode = 0644)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        chmod(path.c_str(), mode);
    }

    // An application bundle laid out as they are, with a framework whose
    // top level is made of links into its current version.
    fs::path makeBundle()
    {
        auto app = folder_ / "source" / "Example.app";
        auto contents = app / "Contents";
        write(contents / "Info.plist", "<plist/>");
        write(contents / "MacOS/Example", "#!/bin/sh\n", 0755);
        write(contents / "MacOS/helper", "setuid", 04755);
        write(contents / "Resources/empty", "");
        std::string large(3 * 1024 * 1024 + 17, '\0');
        std::mt19937 random(7);
        for (auto& byte : large)
            byte = static_cast<char>(random());
        write(contents / "Resources/large.bin", large, 0600);
        auto framework = contents / "Frameworks/Kit.framework";
        write(framework / "Versions/A/Kit", "library", 0755);
        write(framework / "Versions/A/Resources/Info.plist", "<plist/>");
        fs::create_directory_symlink("A", framework / "Versions/Current");
        fs::create_symlink("Versions/Current/Kit", framework / "Kit");
        fs::create_directory_symlink("Versions/Current/Resources", framework / "Resources");
        fs::create_symlink("/nowhere/at/all", contents / "Resources/dangling");
        mkfifo((contents / "Resources/pipe").c_str(), 0640);
        fs::create_directories(contents / "Locked");
        write(contents / "Locked/file", "locked", 0444);
        setxattr((contents / "Info.plist").c_str(), "user.tavik.test", "value", 5, 0);
        setxattr((contents / "Info.plist").c_str(), "trusted.tavik.test", "value", 5, 0); // root only

        time_t base = 1600000000;
        for (auto it = fs::recursive_directory_iterator(app); it != fs::recursive_directory_iterator(); ++it)
            setTimes(it->path(), base += 60, 123456789);
        chmod((contents / "Locked").c_str(), 0555);
        setTimes(contents / "Locked", base + 1, 5);
        setTimes(app, base + 2, 6);
        return app;
    }

    std::vector<std::string> namesIn(const fs::path& folder)
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    FileManager manager_;
    fs::path folder_;
};

} // namespace

TEST_F(FileManagerTest, CopiesAreNeverGroupOrWorldWritable)
{
    auto source = folder_ / "open";
    const std::vector<std::pair<std::string, std::pair<mode_t, mode_t>>> modes = {
        // item, its mode, the copy's mode
        {"shared.txt", {0666, 0644}},
        {"tool", {0777, 0755}},
        {"group tool", {0775, 0755}},
        {"private", {0600, 0600}},
        {"sticky folder", {01777, 01755}},
        {".", {0777, 0755}},
    };
    for (const auto& [name, mode] : modes) {
        if (name == "sticky folder")
            fs::create_directories(source / name);
        else if (name != ".")
            write(source / name, "x");
    }
    for (const auto& [name, mode] : modes)
        ASSERT_EQ(chmod((source / name).c_str(), mode.first), 0) << name;

    auto copied = manager_.copyItem(URL::fileURL(source, true), URL::fileURL(folder_ / "copy", true));
    ASSERT_TRUE(copied.ok()) << copied.error()->description();
    for (const auto& [name, mode] : modes) {
        struct stat status {};
        ASSERT_EQ(lstat((folder_ / "copy" / name).c_str(), &status), 0) << name;
        EXPECT_EQ(status.st_mode & 07777, mode.second) << name;
    }
}

TEST_F(FileManagerTest, CopyOfABundleKeepsModesLinksAndTimes)
{
    auto app = makeBundle();
    auto destination = folder_ / "Applications";
    fs::create_directory(destination);
    auto atimeOf = [](const fs::path& path) {
        struct stat status {};
        lstat(path.c_str(), &status);
        return status.st_atim.tv_sec;
    };
    auto before = describe(app);
    // Reading the contents above moved the access time on: set it back.
    struct timespec pastAccess[2] = {{1500000000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, (app / "Contents/Resources/large.bin").c_str(), pastAccess, 0), 0);
    auto sourceAtime = atimeOf(app / "Contents/Resources/large.bin");
    ASSERT_EQ(sourceAtime, 1500000000);

    auto copied = manager_.copyItem(URL::fileURL(app), URL::fileURL(destination / "Example.app", true));
    ASSERT_TRUE(copied.ok()) << copied.error()->description();

    // Access times are kept too (checked before anything reads the copy).
    EXPECT_EQ(atimeOf(destination / "Example.app/Contents/Resources/large.bin"), sourceAtime);
    auto copy = describe(destination / "Example.app");
    // Set-user-ID is not carried over to the copy; everything else is.
    auto& helper = before["Contents/MacOS/helper"];
    helper.replace(0, helper.find(' '), "100755");
    EXPECT_EQ(copy.size(), before.size());
    for (const auto& [name, description] : before)
        EXPECT_EQ(copy[name], description) << name;
    EXPECT_EQ(describe(app).size(), before.size()) << "the original is untouched";
    EXPECT_EQ(namesIn(destination), std::vector<std::string> {"Example.app"}) << "no temporary left behind";

    char value[16] = {};
    auto length = getxattr((destination / "Example.app/Contents/Info.plist").c_str(), "user.tavik.test", value, sizeof value);
    if (getxattr((app / "Contents/Info.plist").c_str(), "user.tavik.test", nullptr, 0) > 0) {
        EXPECT_EQ(std::string(value, length > 0 ? size_t(length) : 0), "value");
    }
    if (getxattr((app / "Contents/Info.plist").c_str(), "trusted.tavik.test", nullptr, 0) > 0) {
        EXPECT_LT(getxattr((destination / "Example.app/Contents/Info.plist").c_str(), "trusted.tavik.test", nullptr, 0), 0);
    }
}

TEST_F(FileManagerTest, CopyOfSingleItems)
{
    write(folder_ / "notes.txt", "text", 0640);
    setTimes(folder_ / "notes.txt", 1500000000, 42);
    fs::create_symlink("notes.txt", folder_ / "link");

    ASSERT_TRUE(manager_.copyItem(URL::fileURL(folder_ / "notes.txt"), URL::fileURL(folder_ / "copy.txt")).ok());
    ASSERT_TRUE(manager_.copyItem(URL::fileURL(folder_ / "link"), URL::fileURL(folder_ / "link copy")).ok());
    EXPECT_EQ(describe(folder_)["copy.txt"], describe(folder_)["notes.txt"]);
    EXPECT_EQ(fs::read_symlink(folder_ / "link copy"), "notes.txt");
}

TEST_F(FileManagerTest, CopyNeverReplacesOrMixesWithWhatIsThere)
{
    write(folder_ / "new/Example.app/Contents/Info.plist", "new");
    write(folder_ / "old/Example.app/Contents/Info.plist", "old");
    write(folder_ / "old/file", "old file");
    auto existing = describe(folder_ / "old");

    auto onBundle = manager_.copyItem(URL::fileURL(folder_ / "new/Example.app"), URL::fileURL(folder_ / "old/Example.app"));
    ASSERT_FALSE(onBundle.ok());
    EXPECT_TRUE(isFileError(onBundle.error(), FileError::Code::fileWriteFileExists));
    auto onFile = manager_.copyItem(URL::fileURL(folder_ / "new/Example.app"), URL::fileURL(folder_ / "old/file"));
    EXPECT_TRUE(isFileError(onFile.error(), FileError::Code::fileWriteFileExists));
    fs::create_symlink("/nowhere", folder_ / "old/dangling");
    existing = describe(folder_ / "old");
    auto onLink = manager_.copyItem(URL::fileURL(folder_ / "new/Example.app"), URL::fileURL(folder_ / "old/dangling"));
    EXPECT_TRUE(isFileError(onLink.error(), FileError::Code::fileWriteFileExists));
    EXPECT_EQ(describe(folder_ / "old"), existing);
}

TEST_F(FileManagerTest, FailedCopyLeavesNothingBehindAndNamesTheItem)
{
    auto missing = manager_.copyItem(URL::fileURL(folder_ / "Missing.app", true), URL::fileURL(folder_ / "Copy.app", true));
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileReadNoSuchFile));

    write(folder_ / "source/Example.app/Contents/Info.plist", "x");
    auto noParent = manager_.copyItem(URL::fileURL(folder_ / "source/Example.app"), URL::fileURL(folder_ / "absent/Example.app"));
    ASSERT_FALSE(noParent.ok());
    auto* error = dynamic_cast<const FileError*>(noParent.error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->path(), folder_ / "absent/Example.app");

    // A socket cannot be copied: the whole copy fails, and cleanly.
    auto socketPath = folder_ / "source/Example.app/Contents/socket";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    fs::create_directory(folder_ / "destination");
    auto withSocket = manager_.copyItem(URL::fileURL(folder_ / "source/Example.app"), URL::fileURL(folder_ / "destination/Example.app"));
    ASSERT_FALSE(withSocket.ok());
    EXPECT_TRUE(namesIn(folder_ / "destination").empty());

    auto intoItself = manager_.copyItem(URL::fileURL(folder_ / "source"), URL::fileURL(folder_ / "source/Example.app/Contents/Copy"));
    EXPECT_FALSE(intoItself.ok());
    EXPECT_FALSE(fs::exists(folder_ / "source/Example.app/Contents/Copy"));
}

TEST_F(FileManagerTest, MoveRenamesAndNeverReplaces)
{
    write(folder_ / "a/Example.app/Contents/Info.plist", "a");
    write(folder_ / "b/Example.app/Contents/Info.plist", "b");
    fs::create_directory(folder_ / "c");

    auto clash = manager_.moveItem(URL::fileURL(folder_ / "a/Example.app"), URL::fileURL(folder_ / "b/Example.app"));
    ASSERT_FALSE(clash.ok());
    EXPECT_TRUE(isFileError(clash.error(), FileError::Code::fileWriteFileExists));
    EXPECT_EQ(contents(folder_ / "b/Example.app/Contents/Info.plist"), "b");

    ASSERT_TRUE(manager_.moveItem(URL::fileURL(folder_ / "a/Example.app"), URL::fileURL(folder_ / "c/Example.app")).ok());
    EXPECT_EQ(contents(folder_ / "c/Example.app/Contents/Info.plist"), "a");
    EXPECT_FALSE(fs::exists(folder_ / "a/Example.app"));

    auto missing = manager_.moveItem(URL::fileURL(folder_ / "a/Example.app"), URL::fileURL(folder_ / "d"));
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileReadNoSuchFile));
}

// Across file systems both moves copy: a plain move keeps modes, links and
// times and removes the source; moving our own item drops group write access
// and leaves the source to its owner.
TEST_F(FileManagerTest, MovesAcrossFileSystemsCopy)
{
    struct stat here {
    }, shm {};
    if (stat("/dev/shm", &shm) != 0 || stat(folder_.c_str(), &here) != 0 || shm.st_dev == here.st_dev)
        GTEST_SKIP() << "needs /dev/shm on another file system";
    std::string pattern = "/dev/shm/tavik-move-XXXXXX";
    fs::path other = mkdtemp(pattern.data());
    write(other / "Example.app/Contents/MacOS/Example", "exe", 0755);
    fs::create_symlink("MacOS/Example", other / "Example.app/Contents/link");
    auto before = describe(other / "Example.app");

    auto moved = manager_.moveItem(URL::fileURL(other / "Example.app"), URL::fileURL(folder_ / "Example.app"));
    ASSERT_TRUE(moved.ok()) << moved.error()->description();
    EXPECT_EQ(describe(folder_ / "Example.app"), before);
    EXPECT_FALSE(fs::exists(other / "Example.app"));

    write(other / "Own.app/Contents/MacOS/Own", "exe", 0775);
    auto ownMoved = manager_.moveOwnItem(URL::fileURL(other / "Own.app", true), URL::fileURL(folder_ / "Own.app", true));
    ASSERT_TRUE(ownMoved.ok()) << ownMoved.error()->description();
    EXPECT_EQ(fs::status(folder_ / "Own.app/Contents/MacOS/Own").permissions(), fs::perms(0755));
    EXPECT_TRUE(fs::exists(other / "Own.app"));
    fs::remove_all(other);
}

TEST_F(FileManagerTest, CreateAndRemoveDirectories)
{
    auto deep = URL::fileURL(folder_ / "mounts/Example.dmg_1/inner", true);
    auto flat = manager_.createDirectory(deep, false);
    EXPECT_TRUE(isFileError(flat.error(), FileError::Code::fileNoSuchFile));
    ASSERT_TRUE(manager_.createDirectory(deep, true).ok());
    EXPECT_TRUE(fs::is_directory(deep.path()));
    EXPECT_TRUE(manager_.createDirectory(deep, true).ok()) << "an existing folder is fine with intermediates";
    EXPECT_TRUE(isFileError(manager_.createDirectory(deep, false).error(), FileError::Code::fileWriteFileExists));
    write(folder_ / "file", "x");
    EXPECT_TRUE(isFileError(manager_.createDirectory(URL::fileURL(folder_ / "file/sub", true), true).error(),
        FileError::Code::fileWriteFileExists));

    // Removing: read-only folders inside are no obstacle; links are removed,
    // not followed.
    write(folder_ / "outside/keep", "keep");
    write(folder_ / "mounts/Example.dmg_1/inner/ro/file", "x", 0444);
    fs::create_directory_symlink(folder_ / "outside", folder_ / "mounts/Example.dmg_1/inner/link");
    chmod((folder_ / "mounts/Example.dmg_1/inner/ro").c_str(), 0555);
    chmod((folder_ / "mounts/Example.dmg_1/inner").c_str(), 0500);
    EXPECT_TRUE(manager_.fileExists(URL::fileURL(folder_ / "mounts/Example.dmg_1/inner/link")));
    ASSERT_TRUE(manager_.removeItem(URL::fileURL(folder_ / "mounts", true)).ok());
    EXPECT_FALSE(manager_.fileExists(URL::fileURL(folder_ / "mounts", true)));
    EXPECT_EQ(contents(folder_ / "outside/keep"), "keep");

    fs::create_symlink("/nowhere", folder_ / "dangling");
    EXPECT_TRUE(manager_.fileExists(URL::fileURL(folder_ / "dangling")));
    ASSERT_TRUE(manager_.removeItem(URL::fileURL(folder_ / "dangling")).ok());
    EXPECT_FALSE(manager_.fileExists(URL::fileURL(folder_ / "dangling")));
    EXPECT_TRUE(isFileError(manager_.removeItem(URL::fileURL(folder_ / "dangling")).error(), FileError::Code::fileNoSuchFile));
}

TEST(SpaceBudgetTest, LeavesAReserveAndNeverPassesTheCap)
{
    constexpr std::uint64_t MiB = 1 << 20, GiB = std::uint64_t {1} << 30;
    // A small file system keeps 16 MiB, a middling one 5 %, a large one 1 GiB.
    EXPECT_EQ(SpaceBudget::make(100 * MiB, 256 * MiB).allowedBytes, 84 * MiB);
    EXPECT_EQ(SpaceBudget::make(10 * GiB, 10 * GiB).allowedBytes, 10 * GiB - 512 * MiB);
    EXPECT_EQ(SpaceBudget::make(500 * GiB, 1000 * GiB).allowedBytes, SpaceBudget::cap);
    EXPECT_EQ(SpaceBudget::make(300 * GiB, 1000 * GiB).allowedBytes, SpaceBudget::cap);
    EXPECT_EQ(SpaceBudget::make(10 * MiB, 256 * MiB).allowedBytes, 0u);
    EXPECT_FALSE(SpaceBudget::make(10 * MiB, 256 * MiB).allows(1));
    EXPECT_TRUE(SpaceBudget::make(100 * MiB, 256 * MiB).allows(84 * MiB));
    EXPECT_FALSE(SpaceBudget::make(100 * MiB, 256 * MiB).allows(84 * MiB + 1));
}

TEST(SpaceBudgetTest, ReadsTheFolderFileSystemAndFailsForAMissingFolder)
{
    auto budget = SpaceBudget::forFolder(fs::temp_directory_path());
    ASSERT_TRUE(budget.ok());
    EXPECT_GT(budget->fileSystemBytes, 0u);
    EXPECT_LE(budget->allowedBytes, budget->freeBytes);
    EXPECT_FALSE(SpaceBudget::forFolder("/nonexistent-folder-of-tavik/x").ok());
    // A folder still to be made is measured on the file system that will hold it.
    auto toBe = SpaceBudget::forFolderToBe(fs::temp_directory_path() / "not-yet-made-by-tavik/inner");
    ASSERT_TRUE(toBe.ok());
    EXPECT_EQ(toBe->fileSystemBytes, budget->fileSystemBytes);
}

TEST_F(FileManagerTest, MovingOwnItemGivesWhatACopyGivesAndEmptiesTheSource)
{
    auto app = makeBundle();
    auto contentsFolder = app / "Contents";
    write(contentsFolder / "Resources/shared.txt", "shared", 0666);
    ASSERT_EQ(chmod((contentsFolder / "Resources").c_str(), 0777), 0);
    setTimes(contentsFolder / "Resources/shared.txt", 1600009000, 1);
    setTimes(contentsFolder / "Resources", 1600009001, 2);
    auto expected = describe(app);
    for (auto [name, mode] : {std::pair<std::string, std::string> {"Contents/MacOS/helper", "100755"},
             {"Contents/Resources/shared.txt", "100644"}, {"Contents/Resources", "40755"}}) {
        auto& description = expected[name];
        description.replace(0, description.find(' '), mode);
    }
    auto destination = folder_ / "Applications";
    fs::create_directory(destination);

    auto moved = manager_.moveOwnItem(URL::fileURL(app, true), URL::fileURL(destination / "Example.app", true));
    ASSERT_TRUE(moved.ok()) << moved.error()->description();
    EXPECT_EQ(describe(destination / "Example.app"), expected);
    EXPECT_FALSE(fs::exists(app));

    // What is at the target stays, and so does the item.
    write(folder_ / "source/Other.app/Contents/Info.plist", "other");
    auto clash = manager_.moveOwnItem(URL::fileURL(folder_ / "source/Other.app", true), URL::fileURL(destination / "Example.app", true));
    EXPECT_TRUE(isFileError(clash.error(), FileError::Code::fileWriteFileExists));
    EXPECT_EQ(describe(destination / "Example.app"), expected);
    EXPECT_EQ(contents(folder_ / "source/Other.app/Contents/Info.plist"), "other");

    // A file with another hard link is copied, so the two names do not share it.
    write(folder_ / "source/Linked.app/Contents/MacOS/Linked", "exe", 0755);
    fs::create_hard_link(folder_ / "source/Linked.app/Contents/MacOS/Linked", folder_ / "elsewhere");
    ASSERT_TRUE(manager_.moveOwnItem(URL::fileURL(folder_ / "source/Linked.app", true), URL::fileURL(destination / "Linked.app", true)).ok());
    EXPECT_EQ(fs::hard_link_count(destination / "Linked.app/Contents/MacOS/Linked"), 1u);
    EXPECT_EQ(fs::hard_link_count(folder_ / "elsewhere"), 2u) << "the source is left to its owner";
}
