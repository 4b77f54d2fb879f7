// The real hdiutil stand-in, run as a program on images made by make-dmg.
#include "platform/process/ChildProcess.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

namespace fs = std::filesystem;
using tavik::process::ChildOptions;
using tavik::process::ChildOutcome;
using tavik::process::runChild;

namespace {

void writeFile(const fs::path& path, const std::string& content, mode_t mode)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::string readFile(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

mode_t modeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// The "mount-point" values of the attach property list, in entity order;
// fails the test when the output is not such a property list.
std::vector<std::string> mountPointsIn(const std::string& xml)
{
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    std::vector<std::string> result;
    EXPECT_NE(root, nullptr) << xml;
    if (!root) return result;
    plist_t entities = plist_dict_get_item(root, "system-entities");
    EXPECT_NE(entities, nullptr);
    EXPECT_EQ(plist_get_node_type(entities), PLIST_ARRAY);
    for (uint32_t index = 0; entities && index < plist_array_get_size(entities); ++index) {
        plist_t point = plist_dict_get_item(plist_array_get_item(entities, index), "mount-point");
        if (!point) continue;
        char* text = nullptr;
        plist_get_string_val(point, &text);
        result.emplace_back(text ? text : "");
        free(text);
    }
    plist_free(root);
    return result;
}

class HdiutilTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "hdiutil-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        // Each test keeps its own attachment records.
        fs::create_directory(folder / "runtime");
        fs::permissions(folder / "runtime", fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (folder / "runtime").c_str(), 1);
    }
    void TearDown() override
    {
        run({"chmod", "-R", "u+rwx", folder.string()});
        fs::remove_all(folder);
    }

    static ChildOutcome run(const std::vector<std::string>& arguments)
    {
        ChildOptions options;
        options.timeLimit = std::chrono::seconds(60);
        auto outcome = runChild(arguments, options);
        if (!outcome) throw std::runtime_error("cannot run " + arguments[0] + ": " + outcome.error()->description());
        return *outcome;
    }
    static ChildOutcome hdiutil(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), TAVIK_HDIUTIL_PATH);
        return run(arguments);
    }
    static ChildOutcome attach(const fs::path& image, const fs::path& mountPoint)
    {
        return hdiutil({"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint.string(),
            "-noautoopen", image.string()});
    }
    fs::path makeImage(const fs::path& source, const std::string& name, const std::string& volumeName = "Example",
        const std::vector<std::string>& options = {})
    {
        auto image = folder / name;
        std::vector<std::string> line = {TAVIK_MAKE_DMG_PATH, source.string(), image.string(), "--volume-name",
            volumeName};
        line.insert(line.end(), options.begin(), options.end());
        auto outcome = run(line);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.standardError;
        return image;
    }
    // Runs the stand-in with a directory of fake tools in front of PATH.
    static ChildOutcome attachWith(const fs::path& bin, const std::vector<std::string>& environment,
        const fs::path& image, const fs::path& mountPoint)
    {
        std::vector<std::string> line = {"env", "PATH=" + bin.string() + ":" + std::getenv("PATH")};
        line.insert(line.end(), environment.begin(), environment.end());
        line.insert(line.end(), {TAVIK_HDIUTIL_PATH, "attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint.string(), "-noautoopen", image.string()});
        return run(line);
    }
    size_t entriesBeside(const fs::path& mountPoint)
    {
        return static_cast<size_t>(
            std::distance(fs::directory_iterator(mountPoint.parent_path()), fs::directory_iterator()));
    }
    fs::path makeMountPoint(const std::string& name)
    {
        auto path = folder / "mounts" / name;
        fs::create_directories(path);
        return path;
    }
    // A small application bundle plus the usual link to /Applications.
    fs::path makeApplicationTree()
    {
        auto source = folder / "source";
        writeFile(source / "Example.app/Contents/MacOS/Example", "#!/bin/sh\necho example\n", 0755);
        writeFile(source / "Example.app/Contents/Info.plist", "<plist/>\n", 0644);
        writeFile(source / "Read Me.txt", "read me\n", 0444);
        writeFile(source / "shared.txt", "everyone\n", 0777);
        writeFile(source / "private/secret.txt", "secret\n", 0600);
        fs::permissions(source / "private", fs::perms::owner_all);
        writeFile(source / "locked/inside.txt", "inside\n", 0644);
        fs::permissions(source / "locked", fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec);
        writeFile(source / "caf\u00e9.txt", "accent\n", 0644);
        fs::create_symlink("/Applications", source / "Applications");
        fs::create_symlink("../Example.app/Contents", source / "private/contents");
        return source;
    }

    fs::path folder;
};

TEST_F(HdiutilTest, AttachLaysOutTheVolumeAndDetachEmptiesTheMountPoint)
{
    umask(022);
    auto source = makeApplicationTree();
    auto image = makeImage(source, "Example.dmg");
    auto mountPoint = makeMountPoint("one");

    auto attached = attach(image, mountPoint);
    ASSERT_EQ(attached.exitStatus, 0) << attached.standardError;
    EXPECT_EQ(mountPointsIn(attached.standardOutput), std::vector<std::string> {mountPoint.string()});

    for (const char* file : {"Example.app/Contents/MacOS/Example", "Example.app/Contents/Info.plist", "Read Me.txt",
             "shared.txt", "private/secret.txt", "locked/inside.txt"}) {
        EXPECT_EQ(readFile(mountPoint / file), readFile(source / file)) << file;
        // Stored modes are kept, less write access for group and others.
        EXPECT_EQ(modeOf(mountPoint / file), modeOf(source / file) & ~mode_t {022}) << file;
    }
    EXPECT_EQ(modeOf(mountPoint / "private"), 0700u);
    EXPECT_EQ(modeOf(mountPoint / "locked"), 0550u);
    EXPECT_EQ(fs::read_symlink(mountPoint / "Applications"), "/Applications");
    EXPECT_EQ(fs::read_symlink(mountPoint / "private/contents"), "../Example.app/Contents");
    EXPECT_EQ(fs::last_write_time(mountPoint / "shared.txt"),
        std::chrono::floor<std::chrono::seconds>(fs::last_write_time(source / "shared.txt")));
    // Stored decomposed in the volume, shown precomposed.
    EXPECT_EQ(readFile(mountPoint / "caf\u00e9.txt"), "accent\n");

    auto detached = hdiutil({"detach", mountPoint.string()});
    ASSERT_EQ(detached.exitStatus, 0) << detached.standardError;
    EXPECT_TRUE(fs::is_directory(mountPoint));
    EXPECT_TRUE(fs::is_empty(mountPoint));
    EXPECT_EQ(std::distance(fs::directory_iterator(mountPoint.parent_path()), fs::directory_iterator()), 1)
        << "nothing left next to the mount point";

    auto again = hdiutil({"detach", mountPoint.string()});
    EXPECT_NE(again.exitStatus, 0);
    EXPECT_NE(again.standardError.find("not attached"), std::string::npos) << again.standardError;
}

TEST_F(HdiutilTest, ImageAttachedElsewhereIsBusyButACopyAttaches)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    auto first = makeMountPoint("first");
    auto second = makeMountPoint("second");
    ASSERT_EQ(attach(image, first).exitStatus, 0);

    auto busy = attach(image, second);
    EXPECT_NE(busy.exitStatus, 0);
    EXPECT_TRUE(busy.standardError.ends_with("Resource busy")) << busy.standardError;
    EXPECT_TRUE(fs::is_empty(second));

    auto copy = folder / "copy.dmg";
    fs::copy_file(image, copy);
    auto copied = attach(copy, second);
    ASSERT_EQ(copied.exitStatus, 0) << copied.standardError;
    EXPECT_TRUE(fs::exists(second / "Example.app/Contents/Info.plist"));

    // A mount point in use takes no second image.
    auto third = folder / "third.dmg";
    fs::copy_file(image, third);
    auto taken = attach(third, first);
    EXPECT_NE(taken.exitStatus, 0);
    EXPECT_FALSE(taken.standardError.ends_with("Resource busy")) << taken.standardError;

    EXPECT_EQ(hdiutil({"detach", first.string()}).exitStatus, 0);
    EXPECT_EQ(hdiutil({"detach", second.string()}).exitStatus, 0);
    // Once detached, the image attaches again.
    EXPECT_EQ(attach(image, second).exitStatus, 0);
    EXPECT_EQ(hdiutil({"detach", second.string()}).exitStatus, 0);
}

TEST_F(HdiutilTest, BadImagesFailAndLeaveNothingBehind)
{
    auto source = makeApplicationTree();
    auto image = makeImage(source, "Example.dmg");
    auto bytes = readFile(image);
    bytes[200] = static_cast<char>(bytes[200] ^ 0x5a); // inside the compressed volume
    auto damaged = folder / "damaged.dmg";
    std::ofstream(damaged, std::ios::binary) << bytes;
    auto text = folder / "text.dmg";
    writeFile(text, "not a disk image\n", 0644);
    // Folders nested deeper than a path can reach fail with a bounded message.
    auto deep = makeImage(source, "deep.dmg", "Deep", {"--deep-folders", "600:0123456789"});
    auto mountPoint = makeMountPoint("bad");

    const std::pair<fs::path, std::string> cases[] = {{damaged, "attach failed"}, {text, "attach failed"},
        {folder / "missing.dmg", "attach failed"}, {folder / "mounts", "attach failed"}, {deep, "File name too long"}};
    for (const auto& [bad, expected] : cases) {
        auto outcome = attach(bad, mountPoint);
        EXPECT_NE(outcome.exitStatus, 0) << bad;
        EXPECT_NE(outcome.standardError.find(expected), std::string::npos) << outcome.standardError.substr(0, 500);
        EXPECT_LT(outcome.standardError.size(), 5000u);
        EXPECT_TRUE(outcome.standardOutput.empty());
        EXPECT_TRUE(fs::is_empty(mountPoint));
        EXPECT_EQ(entriesBeside(mountPoint), 1u);
    }
    // The failed attaches left no record that would block the mount point.
    auto good = attach(image, mountPoint);
    EXPECT_EQ(good.exitStatus, 0) << good.standardError;
    EXPECT_EQ(hdiutil({"detach", mountPoint.string()}).exitStatus, 0);
}

// What was not on the image stays: a mount point with files of its own is
// refused, and a detach leaves files added later where they are.
TEST_F(HdiutilTest, FilesThatWereNotOnTheImageStay)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    auto occupied = makeMountPoint("occupied");
    writeFile(occupied / "mine.txt", "keep me\n", 0644);
    EXPECT_NE(attach(image, occupied).exitStatus, 0);
    EXPECT_NE(hdiutil({"detach", occupied.string()}).exitStatus, 0);
    EXPECT_EQ(readFile(occupied / "mine.txt"), "keep me\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(occupied), fs::directory_iterator()), 1);
    EXPECT_NE(attach(image, folder / "no such folder").exitStatus, 0);

    auto mountPoint = makeMountPoint("one");
    ASSERT_EQ(attach(image, mountPoint).exitStatus, 0);
    writeFile(mountPoint / "added later.txt", "user data\n", 0644);
    auto detached = hdiutil({"detach", mountPoint.string()});
    EXPECT_NE(detached.exitStatus, 0);
    EXPECT_NE(detached.standardError.find("left in place"), std::string::npos) << detached.standardError;
    EXPECT_EQ(readFile(mountPoint / "added later.txt"), "user data\n");
    EXPECT_FALSE(fs::exists(mountPoint / "Example.app"));
}

TEST_F(HdiutilTest, OtherCommandLinesAreRefused)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    auto mountPoint = makeMountPoint("one");
    const std::string mp = mountPoint.string();
    const std::string img = image.string();
    std::vector<std::vector<std::string>> lines = {
        {},
        {"info"},
        {"attach", img},
        {"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mp, img},
        {"attach", "-readonly", "-nobrowse", "-plist", "-mountpoint", mp, "-noautoopen", img},
        {"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mp, "-noautoopen", img, "extra"},
        {"detach"},
        {"detach", mp, "-force"},
    };
    for (const auto& line : lines) {
        auto outcome = hdiutil(line);
        EXPECT_NE(outcome.exitStatus, 0);
        EXPECT_NE(outcome.standardError.find("usage"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(mountPoint));
    }
}

TEST_F(HdiutilTest, LargeCatalogAttaches)
{
    // Enough entries for the catalog to need index nodes.
    auto source = folder / "many";
    for (int index = 0; index < 1500; ++index) {
        writeFile(source / ("folder " + std::to_string(index % 7)) / ("file number " + std::to_string(index) + ".txt"),
            std::to_string(index), 0644);
    }
    auto image = makeImage(source, "many.dmg", "Many Files");
    auto tested = run({"7zz", "t", "-tdmg", image.string()});
    EXPECT_EQ(tested.exitStatus, 0) << tested.standardOutput << tested.standardError;

    auto mountPoint = makeMountPoint("many");
    ASSERT_EQ(attach(image, mountPoint).exitStatus, 0);
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(mountPoint)) files += entry.is_regular_file();
    EXPECT_EQ(files, 1500u);
    EXPECT_EQ(readFile(mountPoint / "folder 4/file number 1208.txt"), "1208");
    EXPECT_EQ(hdiutil({"detach", mountPoint.string()}).exitStatus, 0);
    EXPECT_TRUE(fs::is_empty(mountPoint));
}

// A 7-Zip that hangs, is slow, or cannot show its own link checks: the
// attach fails, says why and lays nothing out.
TEST_F(HdiutilTest, AnUnfitOrSlowSevenZipFailsTheAttach)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    auto sevenZip = [](const std::string& body) { return "#!/bin/sh\n" + body + "\n"; };
    auto reporting = [&](const std::string& banner) {
        // The version is read from the banner that starts every run's output.
        return sevenZip("echo '" + banner + "'\nexec /usr/bin/7zz \"$@\"");
    };
    const std::string slow = sevenZip("sleep 0.7\nexec /usr/bin/7zz \"$@\"");
    struct Case {
        std::string script;
        std::vector<std::string> environment;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {sevenZip("exec sleep 30"), {"TAVIK_HDIUTIL_TIME_LIMIT=1"}, "took too long"},
        // Each run is well inside the limit; together they are not.
        {slow, {"TAVIK_HDIUTIL_TIME_LIMIT=1"}, "took too long"},
        {reporting("7-Zip [64] 16.02 : Copyright (c) 1999-2016 Igor Pavlov"), {}, "7zz 16.02 is too old"},
        {reporting("7-Zip (z) 25.00 (x64) : Copyright (c) 1999-2025 Igor Pavlov"), {}, "7zz 25.00 is too old"},
        {reporting("something else entirely"), {}, "cannot tell the version"},
    };
    auto bin = folder / "bin";
    int attempts = 0;
    for (const auto& [script, environment, expected] : cases) {
        auto mountPoint = makeMountPoint("refused " + std::to_string(++attempts));
        writeFile(bin / "7zz", script, 0755);
        auto outcome = attachWith(bin, environment, image, mountPoint);
        EXPECT_NE(outcome.exitStatus, 0) << expected;
        EXPECT_NE(outcome.standardError.find(expected), std::string::npos) << outcome.standardError;
        EXPECT_TRUE(fs::is_empty(mountPoint));
    }
    // Without the limit the slow 7-Zip still attaches.
    writeFile(bin / "7zz", slow, 0755);
    auto mountPoint = makeMountPoint("patient");
    auto patient = attachWith(bin, {}, image, mountPoint);
    EXPECT_EQ(patient.exitStatus, 0) << patient.standardError;
    EXPECT_EQ(hdiutil({"detach", mountPoint.string()}).exitStatus, 0);
}

TEST_F(HdiutilTest, OnlyHFSVolumesInsideDiskImagesAreLaidOut)
{
    auto source = makeApplicationTree();
    auto mountPoint = makeMountPoint("typed");

    // A partition map before the volume is what most real images have; an
    // HFSX volume is HFS+ that tells case apart.
    for (const auto& option : {"--partition-map", "--hfsx"}) {
        auto image = makeImage(source, std::string(option).substr(2) + ".dmg", "Example", {option});
        auto attached = attach(image, mountPoint);
        ASSERT_EQ(attached.exitStatus, 0) << option << ": " << attached.standardError;
        EXPECT_TRUE(fs::exists(mountPoint / "Example.app/Contents/Info.plist")) << option;
        ASSERT_EQ(hdiutil({"detach", mountPoint.string()}).exitStatus, 0);
    }

    // A ZIP whose comment holds an image: the ZIP's own application is never
    // laid out, only the image's volume.
    auto image = makeImage(source, "Example.dmg");
    auto zipWithImage = folder / "zip-with-image.dmg";
    auto zipped = run({"python3", "-c",
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1], 'w') as archive:\n"
        "    archive.writestr('Other.app/Contents/MacOS/Other', 'other')\n"
        "    archive.comment = open(sys.argv[2], 'rb').read()\n",
        zipWithImage.string(), image.string()});
    ASSERT_EQ(zipped.exitStatus, 0) << zipped.standardError;
    auto fromZip = attach(zipWithImage, mountPoint);
    ASSERT_EQ(fromZip.exitStatus, 0) << fromZip.standardError;
    EXPECT_FALSE(fs::exists(mountPoint / "Other.app"));
    EXPECT_TRUE(fs::exists(mountPoint / "Example.app/Contents/Info.plist"));
    ASSERT_EQ(hdiutil({"detach", mountPoint.string()}).exitStatus, 0);

    // A tar or a ZIP where the volume should be has no file system to mount.
    auto tar = folder / "volume.tar";
    ASSERT_EQ(run({"tar", "-cf", tar.string(), "-C", source.string(), "."}).exitStatus, 0);
    auto zip = folder / "volume.zip";
    ASSERT_EQ(run({"python3", "-c",
                      "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z: z.writestr('A.app/x', 'x')\n",
                      zip.string()})
                  .exitStatus,
        0);
    for (const auto& partition : {tar, zip}) {
        auto disguised = makeImage(source, partition.filename().string() + ".dmg", "Example",
            {"--partition-file", partition.string()});
        auto outcome = attach(disguised, mountPoint);
        EXPECT_NE(outcome.exitStatus, 0) << partition;
        EXPECT_NE(outcome.standardError.find("no mountable file systems"), std::string::npos) << outcome.standardError;
        EXPECT_TRUE(fs::is_empty(mountPoint));
        EXPECT_EQ(entriesBeside(mountPoint), 1u);
    }
}

TEST_F(HdiutilTest, ImagesThatClaimMoreThanTheyHoldAreRefusedBeforeAnythingIsWritten)
{
    auto few = folder / "few";
    for (int index = 0; index < 8; ++index) writeFile(few / ("file " + std::to_string(index)), "x", 0644);
    const std::string range = std::to_string(64 << 20);
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::string expected;
    };
    const std::vector<Case> cases = {
        // Eight files sharing one range list eight times the partition.
        {"shared.dmg", {"--shared-range", range}, "too large for the free space"},
        // A header claiming more blocks than the image holds does not make
        // room for them: the volume ends early.
        {"claims.dmg", {"--shared-range", range, "--claim-blocks", "100000000"}, "no mountable file systems"},
        // A catalog of a gigabyte would be allocated whole while listing.
        {"catalog.dmg", {"--claim-catalog", std::to_string(1 << 30)}, "more than 512 MiB of memory"},
    };
    for (const auto& [name, options, expected] : cases) {
        auto image = makeImage(few, name, "Hostile", options);
        EXPECT_LT(fs::file_size(image), 200u * 1024) << name;
        auto mountPoint = makeMountPoint(name + "/point");
        // The peak memory of the stand-in and its 7-Zip runs.
        auto outcome = run({"python3", "-c",
            "import resource, subprocess, sys\n"
            "done = subprocess.run(sys.argv[1:], capture_output=True, text=True)\n"
            "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
            "sys.stderr.write(done.stderr)\n"
            "sys.exit(done.returncode)\n",
            TAVIK_HDIUTIL_PATH, "attach", "-nobrowse", "-readonly", "-plist", "-mountpoint",
            mountPoint.string(), "-noautoopen", image.string()});
        EXPECT_NE(outcome.exitStatus, 0) << name;
        EXPECT_NE(outcome.standardError.find(expected), std::string::npos) << name << ": " << outcome.standardError;
        EXPECT_LT(std::stol(outcome.standardOutput), 600L * 1024) << name << ": peak KiB";
        EXPECT_TRUE(fs::is_empty(mountPoint)) << name;
        EXPECT_EQ(entriesBeside(mountPoint), 1u) << name;
    }
}

TEST_F(HdiutilTest, VolumeLargerThanTheFreeSpaceIsRefusedBeforeAnythingIsWritten)
{
    // A file system of its own, small enough to fill.
    auto small = folder / "small";
    fs::create_directories(small);
    if (geteuid() != 0 || mount("tavik-test", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=48m") != 0) {
        GTEST_SKIP() << "mounting a small tmpfs needs root; the disk-fill refusal is not tested here";
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
    } unmount {small};
    auto mountPoint = small / "mounts/large";
    fs::create_directories(mountPoint);

    // 36 MiB fits the image's partition but not 48 MiB less the 16 MiB reserve.
    auto large = folder / "large";
    writeFile(large / "zeros.bin", std::string(36 << 20, '\0'), 0644);
    auto image = makeImage(large, "large.dmg", "Large");
    auto freeBlocks = [&] {
        struct statvfs info {};
        EXPECT_EQ(statvfs(small.c_str(), &info), 0);
        return info.f_bfree;
    };
    auto freeBefore = freeBlocks();
    auto refused = attach(image, mountPoint);
    EXPECT_NE(refused.exitStatus, 0);
    EXPECT_NE(refused.standardError.find("too large for the free space"), std::string::npos) << refused.standardError;
    EXPECT_EQ(freeBlocks(), freeBefore);
    EXPECT_TRUE(fs::is_empty(mountPoint));
    EXPECT_EQ(entriesBeside(mountPoint), 1u);

    // An image that fits attaches there.
    auto fits = makeImage(makeApplicationTree(), "fits.dmg");
    auto attached = attach(fits, mountPoint);
    EXPECT_EQ(attached.exitStatus, 0) << attached.standardError;
    EXPECT_EQ(hdiutil({"detach", mountPoint.string()}).exitStatus, 0);
}

TEST_F(HdiutilTest, SimultaneousAttachesOfOneImageLetOnlyOneThrough)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    auto left = makeMountPoint("left");
    auto right = makeMountPoint("right");
    auto first = std::async(std::launch::async, [&] { return attach(image, left); });
    auto second = std::async(std::launch::async, [&] { return attach(image, right); });
    auto outcomes = {first.get(), second.get()};
    int attached = 0;
    for (const auto& outcome : outcomes) {
        if (outcome.exitStatus == 0) {
            ++attached;
        } else {
            EXPECT_TRUE(outcome.standardError.ends_with("Resource busy")) << outcome.standardError;
        }
    }
    EXPECT_EQ(attached, 1);
    EXPECT_NE(fs::is_empty(left), fs::is_empty(right));
}

TEST_F(HdiutilTest, GeneratorRefusesWhatAVolumeCannotHold)
{
    auto twins = folder / "twins";
    writeFile(twins / "Read Me", "one", 0644);
    writeFile(twins / "READ ME", "two", 0644);
    auto fifo = folder / "fifo";
    fs::create_directories(fifo);
    ASSERT_EQ(mkfifo((fifo / "pipe").c_str(), 0644), 0);

    for (const auto& source : {twins, fifo, folder / "missing"}) {
        auto image = folder / "refused.dmg";
        auto outcome = run({TAVIK_MAKE_DMG_PATH, source.string(), image.string()});
        EXPECT_NE(outcome.exitStatus, 0) << source;
        EXPECT_FALSE(outcome.standardError.empty());
        EXPECT_FALSE(fs::exists(image));
    }
}

} // namespace
