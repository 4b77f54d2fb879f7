#include "platform/filemanager/FileManager.hpp"
#include "platform/filemanager/SpaceBudget.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

void setTimes(const fs::path& path, time_t seconds, long nanoseconds)
{
    struct timespec times[2] = {{seconds - 1000, 0}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// Everything a faithful copy keeps, per item of a tree: type and mode,
// modification time, and the link's target or the file's contents.
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
            text << " " << std::hash<std::string>()(readFile(path)) << " size " << status.st_size;
        items[name] = text.str();
    };
    // Directory times last: listing a folder does not change them.
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        add(it->path(), it->path().lexically_relative(root).string());
    add(root, ".");
    return items;
}

class FileManagerTest : public ::testing::Test {
protected:
    void write(const fs::path& path, const std::string& text, mode_t mode = 0644)
    {
        writeFile(path, text);
        chmod(path.c_str(), mode);
    }
    URL at(const fs::path& relative, bool isDirectory = false) const { return URL::fileURL(folder_ / relative, isDirectory); }

    // An application bundle laid out as they are: a set-user-ID helper, items
    // open to the group or everyone, a large file, a framework whose top level
    // links into its current version, a dangling link, a pipe, a read-only
    // folder, attributes.
    fs::path makeBundle()
    {
        auto app = folder_ / "source/Example.app";
        auto contents = app / "Contents";
        write(contents / "Info.plist", "<plist/>");
        write(contents / "MacOS/Example", "#!/bin/sh\n", 0777);
        write(contents / "MacOS/helper", "setuid", 04755);
        write(contents / "Resources/empty", "");
        write(contents / "Resources/shared.txt", "shared", 0666);
        std::string large(3 * 1024 * 1024 + 17, '\0');
        std::mt19937 random(7);
        for (auto& byte : large)
            byte = static_cast<char>(random());
        write(contents / "Resources/large.bin", large, 0600);
        auto framework = contents / "Frameworks/Kit.framework";
        write(framework / "Versions/A/Kit", "library", 0775);
        write(framework / "Versions/A/Resources/Info.plist", "<plist/>");
        fs::create_directory_symlink("A", framework / "Versions/Current");
        fs::create_symlink("Versions/Current/Kit", framework / "Kit");
        fs::create_directory_symlink("Versions/Current/Resources", framework / "Resources");
        fs::create_symlink("/nowhere/at/all", contents / "Resources/dangling");
        mkfifo((contents / "Resources/pipe").c_str(), 0640);
        write(contents / "Locked/file", "locked", 0444);
        fs::create_directory(contents / "Sticky");
        setxattr((contents / "Info.plist").c_str(), "user.tavik.test", "value", 5, 0);
        setxattr((contents / "Info.plist").c_str(), "trusted.tavik.test", "value", 5, 0); // root only

        time_t base = 1600000000;
        for (auto it = fs::recursive_directory_iterator(app); it != fs::recursive_directory_iterator(); ++it)
            setTimes(it->path(), base += 60, 123456789);
        chmod((contents / "Locked").c_str(), 0555);
        chmod((contents / "Sticky").c_str(), 01777);
        chmod(app.c_str(), 0777);
        setTimes(contents / "Locked", base + 1, 5);
        setTimes(app, base + 2, 6);
        return app;
    }

    // The bundle's description as a copy gives it: never set-user-ID, group
    // or world writable.
    static std::map<std::string, std::string> asCopied(const fs::path& app)
    {
        auto description = describe(app);
        for (auto [name, mode] : {std::pair {"Contents/MacOS/helper", "100755"}, {"Contents/MacOS/Example", "100755"}, {"Contents/Resources/shared.txt", "100644"},
                 {"Contents/Frameworks/Kit.framework/Versions/A/Kit", "100755"}, {"Contents/Sticky", "41755"}, {".", "40755"}})
            description[name].replace(0, description[name].find(' '), mode);
        return description;
    }

    FileManager manager_;
    ScratchFolder scratch_ {"tavik-filemanager"};
    const fs::path& folder_ = scratch_.path();
};

} // namespace

// Moving our own item gives what a copy gives and empties the source.
TEST_F(FileManagerTest, CopyAndOwnMoveKeepLinksTimesAndUserAttributesDropWideModesAndLeaveNoTemporary)
{
    auto app = makeBundle();
    fs::create_directory(folder_ / "Applications");
    auto expected = asCopied(app);
    // Reading the contents above moved the access time on: set it back.
    struct timespec pastAccess[2] = {{1500000000, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, (app / "Contents/Resources/large.bin").c_str(), pastAccess, 0), 0);

    auto copied = manager_.copyItem(URL::fileURL(app), at("Applications/Example.app", true));
    ASSERT_TRUE(copied.ok()) << copied.error()->description();

    auto copy = folder_ / "Applications/Example.app";
    struct stat large {};
    ASSERT_EQ(lstat((copy / "Contents/Resources/large.bin").c_str(), &large), 0); // before anything reads the copy
    EXPECT_EQ(large.st_atim.tv_sec, 1500000000);
    EXPECT_EQ(describe(copy), expected);
    EXPECT_EQ(namesIn(folder_ / "Applications"), std::vector<std::string> {"Example.app"});

    // User attributes are copied, trusted ones not (where the file system keeps them).
    auto attribute = [](const fs::path& path, const char* name) {
        char value[16] = {};
        auto length = getxattr((path / "Contents/Info.plist").c_str(), name, value, sizeof value);
        return length < 0 ? std::string("(none)") : std::string(value, size_t(length));
    };
    EXPECT_TRUE(attribute(app, "user.tavik.test") != "value" || attribute(copy, "user.tavik.test") == "value");
    EXPECT_TRUE(attribute(app, "trusted.tavik.test") != "value" || attribute(copy, "trusted.tavik.test") == "(none)");

    auto moved = manager_.moveOwnItem(URL::fileURL(app, true), at("Moved.app", true));
    ASSERT_TRUE(moved.ok()) << moved.error()->description();
    EXPECT_EQ(describe(folder_ / "Moved.app"), expected);
    EXPECT_FALSE(fs::exists(app));
    // A file with another hard link is copied, so the two names do not share it.
    write(folder_ / "source/Linked.app/Contents/MacOS/Linked", "exe", 0755);
    fs::create_hard_link(folder_ / "source/Linked.app/Contents/MacOS/Linked", folder_ / "elsewhere");
    ASSERT_TRUE(manager_.moveOwnItem(at("source/Linked.app", true), at("Applications/Linked.app", true)).ok());
    EXPECT_EQ(fs::hard_link_count(folder_ / "Applications/Linked.app/Contents/MacOS/Linked"), 1u);
    EXPECT_EQ(fs::hard_link_count(folder_ / "elsewhere"), 2u) << "the source is left to its owner";

    // A single file and a link (as a link) at the top level.
    write(folder_ / "notes.txt", "text", 0640);
    setTimes(folder_ / "notes.txt", 1500000000, 42);
    fs::create_symlink("notes.txt", folder_ / "link");
    ASSERT_TRUE(manager_.copyItem(at("notes.txt"), at("copy.txt")).ok());
    ASSERT_TRUE(manager_.copyItem(at("link"), at("link copy")).ok());
    EXPECT_EQ(describe(folder_)["copy.txt"], describe(folder_)["notes.txt"]);
    EXPECT_EQ(fs::read_symlink(folder_ / "link copy"), "notes.txt");
}

TEST_F(FileManagerTest, CopyAndMoveNeverReplaceOrMixWithWhatIsThere)
{
    write(folder_ / "new/Example.app/Contents/Info.plist", "new");
    write(folder_ / "old/Example.app/Contents/Info.plist", "old");
    write(folder_ / "old/file", "old file");
    fs::create_symlink("/nowhere", folder_ / "old/dangling");
    auto existing = describe(folder_ / "old");
    for (const char* target : {"old/Example.app", "old/file", "old/dangling"}) {
        SCOPED_TRACE(target);
        EXPECT_TRUE(isFileError(manager_.copyItem(at("new/Example.app"), at(target)).error(), FileError::Code::fileWriteFileExists));
        EXPECT_TRUE(isFileError(manager_.moveItem(at("new/Example.app"), at(target)).error(), FileError::Code::fileWriteFileExists));
        EXPECT_TRUE(isFileError(manager_.moveOwnItem(at("new/Example.app", true), at(target, true)).error(),
            FileError::Code::fileWriteFileExists));
    }
    EXPECT_EQ(describe(folder_ / "old"), existing);
    EXPECT_EQ(readFile(folder_ / "new/Example.app/Contents/Info.plist"), "new");

    fs::create_directory(folder_ / "c");
    ASSERT_TRUE(manager_.moveItem(at("new/Example.app"), at("c/Example.app")).ok());
    EXPECT_EQ(readFile(folder_ / "c/Example.app/Contents/Info.plist"), "new");
    EXPECT_FALSE(fs::exists(folder_ / "new/Example.app"));
    EXPECT_TRUE(isFileError(manager_.moveItem(at("new/Example.app"), at("d")).error(), FileError::Code::fileReadNoSuchFile));
}

TEST_F(FileManagerTest, FailedCopyLeavesNothingBehindAndNamesTheItem)
{
    auto missing = manager_.copyItem(at("Missing.app", true), at("Copy.app", true));
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileReadNoSuchFile));

    write(folder_ / "source/Example.app/Contents/Info.plist", "x");
    auto noParent = manager_.copyItem(at("source/Example.app"), at("absent/Example.app"));
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
    EXPECT_FALSE(manager_.copyItem(at("source/Example.app"), at("destination/Example.app")).ok());
    EXPECT_TRUE(namesIn(folder_ / "destination").empty());

    EXPECT_FALSE(manager_.copyItem(at("source"), at("source/Example.app/Contents/Copy")).ok());
    EXPECT_FALSE(fs::exists(folder_ / "source/Example.app/Contents/Copy")) << "no copy into itself";
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
    ScratchFolder other("tavik-move", "/dev/shm");
    write(other / "Example.app/Contents/MacOS/Example", "exe", 0755);
    fs::create_symlink("MacOS/Example", other / "Example.app/Contents/link");
    auto before = describe(other / "Example.app");

    auto moved = manager_.moveItem(URL::fileURL(other / "Example.app"), at("Example.app"));
    ASSERT_TRUE(moved.ok()) << moved.error()->description();
    EXPECT_EQ(describe(folder_ / "Example.app"), before);
    EXPECT_FALSE(fs::exists(other / "Example.app"));

    write(other / "Own.app/Contents/MacOS/Own", "exe", 0775);
    auto ownMoved = manager_.moveOwnItem(URL::fileURL(other / "Own.app", true), at("Own.app", true));
    ASSERT_TRUE(ownMoved.ok()) << ownMoved.error()->description();
    EXPECT_EQ(modeOf(folder_ / "Own.app/Contents/MacOS/Own"), 0755u);
    EXPECT_TRUE(fs::exists(other / "Own.app"));
}

TEST_F(FileManagerTest, CreateAndRemoveDirectories)
{
    auto deep = at("mounts/Example.dmg_1/inner", true);
    EXPECT_TRUE(isFileError(manager_.createDirectory(deep, false).error(), FileError::Code::fileNoSuchFile));
    ASSERT_TRUE(manager_.createDirectory(deep, true).ok());
    EXPECT_TRUE(fs::is_directory(deep.path()));
    EXPECT_TRUE(manager_.createDirectory(deep, true).ok()) << "an existing folder is fine with intermediates";
    EXPECT_TRUE(isFileError(manager_.createDirectory(deep, false).error(), FileError::Code::fileWriteFileExists));
    write(folder_ / "file", "x");
    EXPECT_TRUE(isFileError(manager_.createDirectory(at("file/sub", true), true).error(), FileError::Code::fileWriteFileExists));

    // Removing: read-only folders inside are no obstacle; links are removed,
    // not followed.
    write(folder_ / "outside/keep", "keep");
    write(folder_ / "mounts/Example.dmg_1/inner/ro/file", "x", 0444);
    fs::create_directory_symlink(folder_ / "outside", folder_ / "mounts/Example.dmg_1/inner/link");
    chmod((folder_ / "mounts/Example.dmg_1/inner/ro").c_str(), 0555);
    chmod((folder_ / "mounts/Example.dmg_1/inner").c_str(), 0500);
    ASSERT_TRUE(manager_.removeItem(at("mounts", true)).ok());
    EXPECT_FALSE(manager_.fileExists(at("mounts", true)));
    EXPECT_EQ(readFile(folder_ / "outside/keep"), "keep");

    fs::create_symlink("/nowhere", folder_ / "dangling");
    EXPECT_TRUE(manager_.fileExists(at("dangling")));
    ASSERT_TRUE(manager_.removeItem(at("dangling")).ok());
    EXPECT_FALSE(manager_.fileExists(at("dangling")));
    EXPECT_TRUE(isFileError(manager_.removeItem(at("dangling")).error(), FileError::Code::fileNoSuchFile));
}

TEST(SpaceBudgetTest, LeavesAReserveNeverPassesTheCapAndReadsTheFolderFileSystem)
{
    constexpr std::uint64_t MiB = 1 << 20, GiB = std::uint64_t {1} << 30;
    struct Case {
        std::uint64_t free, size, allowed;
    };
    // A small file system keeps 16 MiB, a middling one 5 %, a large one 1 GiB.
    for (auto [free, size, allowed] : {Case {100 * MiB, 256 * MiB, 84 * MiB}, Case {10 * GiB, 10 * GiB, 10 * GiB - 512 * MiB},
             Case {500 * GiB, 1000 * GiB, SpaceBudget::cap}, Case {300 * GiB, 1000 * GiB, SpaceBudget::cap},
             Case {10 * MiB, 256 * MiB, 0}}) {
        auto budget = SpaceBudget::make(free, size);
        EXPECT_EQ(budget.allowedBytes, allowed) << free << " of " << size;
        EXPECT_TRUE(budget.allows(allowed));
        EXPECT_FALSE(budget.allows(allowed + 1));
    }

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
