// The real hdiutil stand-in, run as a program on images made by make-dmg.
#include "platform/plist/PropertyList.hpp"
#include "platform/process/ChildProcess.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"
#include "platform/testing/SmallFileSystem.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace fs = std::filesystem;
using tavik::process::ChildOutcome;
using tavik::testing::modeOf;
using tavik::testing::readFile;

namespace {

void writeFile(const fs::path& path, const std::string& content, mode_t mode)
{
    tavik::testing::writeFile(path, content);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// The "mount-point" values of the attach property list, in entity order.
std::vector<std::string> mountPointsIn(const std::string& xml)
{
    std::vector<std::string> result;
    auto list = tavik::plist::PropertyList::parse(xml);
    const auto* entities = list.ok() ? list->find("system-entities") : nullptr;
    for (const auto& entity : entities && entities->array() ? *entities->array() : tavik::plist::PropertyList::Array {})
        if (const auto* point = entity.find("mount-point"); point && point->string()) result.push_back(*point->string());
    return result;
}

std::vector<std::string> attachArguments(const fs::path& image, const fs::path& mountPoint)
{
    return {"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mountPoint.string(), "-noautoopen", image.string()};
}

ChildOutcome run(const std::vector<std::string>& arguments)
{
    tavik::process::ChildOptions options;
    options.timeLimit = std::chrono::seconds(60);
    auto outcome = tavik::process::runChild(arguments, options);
    if (!outcome) throw std::runtime_error("cannot run " + arguments[0] + ": " + outcome.error()->description());
    return *outcome;
}

ChildOutcome hdiutil(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), TAVIK_HDIUTIL_PATH);
    return run(arguments);
}
ChildOutcome attach(const fs::path& image, const fs::path& mountPoint) { return hdiutil(attachArguments(image, mountPoint)); }
ChildOutcome detach(const fs::path& mountPoint) { return hdiutil({"detach", mountPoint.string()}); }

class HdiutilTest : public ::testing::Test {
protected:
    // Each test keeps its own attachment records.
    HdiutilTest()
    {
        fs::create_directory(scratch / "runtime");
        fs::permissions(scratch / "runtime", fs::perms::owner_all);
        environment.set("XDG_RUNTIME_DIR", (scratch / "runtime").string());
    }

    fs::path makeImage(const fs::path& source, const std::string& name, const std::vector<std::string>& options = {})
    {
        std::vector<std::string> line = {TAVIK_MAKE_DMG_PATH, source.string(), (scratch / name).string(), "--volume-name", "Example"};
        line.insert(line.end(), options.begin(), options.end());
        auto outcome = run(line);
        EXPECT_EQ(outcome.exitStatus, 0) << outcome.standardError;
        return scratch / name;
    }
    fs::path makeMountPoint(const std::string& name)
    {
        fs::create_directories(scratch / "mounts" / name);
        return scratch / "mounts" / name;
    }
    // A refused attach wrote nothing into the mount point nor beside it.
    static void expectUntouched(const fs::path& mountPoint)
    {
        EXPECT_TRUE(fs::is_empty(mountPoint));
        EXPECT_EQ(std::distance(fs::directory_iterator(mountPoint.parent_path()), fs::directory_iterator()), 1);
    }
    // A small application bundle, odd modes, a decomposed name and the
    // usual link to /Applications.
    fs::path makeApplicationTree()
    {
        auto source = scratch / "source";
        const std::tuple<const char*, const char*, mode_t> files[] = {{"Example.app/Contents/MacOS/Example", "#!/bin/sh\necho example\n", 0755},
            {"Example.app/Contents/Info.plist", "<plist/>\n", 0644}, {"Read Me.txt", "read me\n", 0444}, {"shared.txt", "everyone\n", 0777},
            {"private/secret.txt", "secret\n", 0600}, {"locked/inside.txt", "inside\n", 0644}, {"caf\u00e9.txt", "accent\n", 0644}};
        for (const auto& [name, content, mode] : files)
            writeFile(source / name, content, mode);
        fs::permissions(source / "private", fs::perms(0700));
        fs::permissions(source / "locked", fs::perms(0550));
        fs::create_symlink("/Applications", source / "Applications");
        fs::create_symlink("../Example.app/Contents", source / "private/contents");
        return source;
    }

    tavik::testing::ScratchFolder scratch {"hdiutil-test"};
    tavik::testing::ScopedEnvironment environment;
};

} // namespace

// Stored modes are kept, less write access for group and others; names
// stored decomposed are shown precomposed. A detach takes away what the
// image brought and leaves what was added since. Only the HFS volume of a
// disk image is laid out: behind a partition map (as in most real images),
// as HFSX (HFS+ that tells case apart), or in the comment of a ZIP whose
// own application never is.
TEST_F(HdiutilTest, AttachLaysOutTheVolumeAndDetachTakesAwayOnlyWhatItBrought)
{
    umask(022);
    auto source = makeApplicationTree();
    auto image = makeImage(source, "Example.dmg");
    auto zipWithImage = scratch / "zip-with-image.dmg";
    ASSERT_EQ(run({"python3", "-c",
                      "import sys, zipfile\n"
                      "with zipfile.ZipFile(sys.argv[1], 'w') as archive:\n"
                      "    archive.writestr('Other.app/Contents/MacOS/Other', 'other')\n"
                      "    archive.comment = open(sys.argv[2], 'rb').read()\n",
                      zipWithImage.string(), image.string()})
                  .exitStatus,
        0);
    auto mountPoint = makeMountPoint("one");
    auto expected = tavik::testing::describeTree(source);
    for (auto& line : expected)
        if (line.starts_with("shared.txt ")) line = "shared.txt mode=755 file:everyone\n";

    const fs::path images[] = {image, image, makeImage(source, "map.dmg", {"--partition-map"}), makeImage(source, "hfsx.dmg", {"--hfsx"}), zipWithImage};
    for (const auto& attachedImage : images) {
        const bool addFile = &attachedImage == &images[0];
        SCOPED_TRACE(attachedImage.filename().string() + (addFile ? " with a file added" : ""));
        auto attached = attach(attachedImage, mountPoint);
        ASSERT_EQ(attached.exitStatus, 0) << attached.standardError;
        EXPECT_EQ(mountPointsIn(attached.standardOutput), std::vector<std::string> {mountPoint.string()});
        EXPECT_EQ(tavik::testing::describeTree(mountPoint), expected);
        EXPECT_EQ(fs::last_write_time(mountPoint / "shared.txt"), std::chrono::floor<std::chrono::seconds>(fs::last_write_time(source / "shared.txt")));
        if (addFile) writeFile(mountPoint / "added later.txt", "user data\n", 0644);
        auto detached = detach(mountPoint);
        EXPECT_EQ(detached.exitStatus, addFile ? 1 : 0) << detached.standardError;
        EXPECT_EQ(detached.standardError.find("they were left in place") != std::string::npos, addFile) << detached.standardError;
        EXPECT_EQ(tavik::testing::namesIn(mountPoint), addFile ? std::vector<std::string> {"added later.txt"} : std::vector<std::string> {});
        auto again = detach(mountPoint);
        EXPECT_NE(again.standardError.find("is not attached"), std::string::npos) << again.standardError;
        fs::remove(mountPoint / "added later.txt");
    }
}

// An image attached elsewhere, also by a simultaneous attach, is busy; a
// copy of it attaches, and so does the image once detached.
TEST_F(HdiutilTest, AnImageIsAttachedOnceAtATime)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    auto first = makeMountPoint("first");
    auto second = makeMountPoint("second");
    auto left = std::async(std::launch::async, [&] { return attach(image, first); });
    auto right = std::async(std::launch::async, [&] { return attach(image, second); });
    for (const auto& outcome : {left.get(), right.get()})
        EXPECT_TRUE(outcome.exitStatus == 0 || outcome.standardError.ends_with("Resource busy")) << outcome.standardError;
    ASSERT_NE(fs::is_empty(first), fs::is_empty(second)) << "exactly one attach went through";
    if (fs::is_empty(first)) std::swap(first, second);

    auto busy = attach(image, second);
    EXPECT_NE(busy.exitStatus, 0);
    EXPECT_TRUE(busy.standardError.ends_with("Resource busy")) << busy.standardError;
    EXPECT_TRUE(fs::is_empty(second));
    fs::copy_file(image, scratch / "copy.dmg");
    auto copied = attach(scratch / "copy.dmg", second);
    ASSERT_EQ(copied.exitStatus, 0) << copied.standardError;
    EXPECT_TRUE(fs::exists(second / "Example.app/Contents/Info.plist"));

    // A mount point in use takes no second image.
    fs::copy_file(image, scratch / "third.dmg");
    auto taken = attach(scratch / "third.dmg", first);
    EXPECT_NE(taken.exitStatus, 0);
    EXPECT_FALSE(taken.standardError.ends_with("Resource busy")) << taken.standardError;

    EXPECT_EQ(detach(first).exitStatus, 0);
    EXPECT_EQ(detach(second).exitStatus, 0);
    EXPECT_EQ(attach(image, second).exitStatus, 0);
    EXPECT_EQ(detach(second).exitStatus, 0);
}

TEST_F(HdiutilTest, RefusedAttachesSayWhyAndLeaveTheMountPointAsItWas)
{
    auto source = makeApplicationTree();
    auto image = makeImage(source, "Example.dmg");
    auto bytes = readFile(image);
    bytes[200] = static_cast<char>(bytes[200] ^ 0x5a); // inside the compressed volume
    tavik::testing::writeFile(scratch / "damaged.dmg", bytes);
    tavik::testing::writeFile(scratch / "text.dmg", "not a disk image\n");
    // Folders nested deeper than a path can reach.
    auto deep = makeImage(source, "deep.dmg", {"--deep-folders", "600:0123456789"});
    // A tar or a ZIP where the volume should be has no file system to mount.
    ASSERT_EQ(run({"tar", "-cf", (scratch / "volume.tar").string(), "-C", source.string(), "."}).exitStatus, 0);
    ASSERT_EQ(run({"python3", "-c", "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w') as z: z.writestr('A.app/x', 'x')\n", (scratch / "volume.zip").string()}).exitStatus, 0);
    auto tar = makeImage(source, "tar.dmg", {"--partition-file", (scratch / "volume.tar").string()});
    auto zip = makeImage(source, "zip.dmg", {"--partition-file", (scratch / "volume.zip").string()});
    // Small images that claim more than they hold: eight files sharing one
    // range list eight times the partition; a header claiming more blocks
    // than the image holds does not make room for them (the volume ends
    // early); a catalog of a gigabyte would be allocated whole while listing.
    for (int index = 0; index < 8; ++index) tavik::testing::writeFile(scratch / "few" / ("file " + std::to_string(index)), "x");
    const std::string range = std::to_string(64 << 20);
    auto shared = makeImage(scratch / "few", "shared.dmg", {"--shared-range", range});
    auto claiming = makeImage(scratch / "few", "claiming.dmg", {"--shared-range", range, "--claim-blocks", "100000000"});
    auto catalog = makeImage(scratch / "few", "catalog.dmg", {"--claim-catalog", std::to_string(1 << 30)});
    for (const auto& small : {shared, claiming, catalog}) EXPECT_LT(fs::file_size(small), 200u * 1024) << small;
    auto mountPoint = makeMountPoint("refused");
    auto occupied = scratch / "occupied";
    writeFile(occupied / "mine.txt", "keep me\n", 0644);
    const std::string mp = mountPoint.string(), img = image.string();
    auto attaching = [&](const fs::path& bad) { return attachArguments(bad, mountPoint); };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {attaching(scratch / "damaged.dmg"), "attach failed"},
        {attaching(scratch / "text.dmg"), "attach failed"},
        {attaching(scratch / "missing.dmg"), "attach failed"},
        {attaching(scratch / "mounts"), "attach failed"},
        {attaching(deep), "File name too long"},
        {attaching(tar), "no mountable file systems"},
        {attaching(zip), "no mountable file systems"},
        {attaching(shared), "too large for the free space"},
        {attaching(claiming), "no mountable file systems"},
        {attaching(catalog), "more than 512 MiB of memory"},
        // What was not on the image stays: a mount point with files of its own.
        {attachArguments(image, occupied), "mount point is not empty"},
        {{"detach", occupied.string()}, "is not attached"},
        {attachArguments(image, scratch / "no such folder"), "No such file or directory"},
        // Only the two command lines duvrin-xpc runs are taken.
        {{}, "usage"},
        {{"info"}, "usage"},
        {{"attach", img}, "usage"},
        {{"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mp, img}, "usage"},
        {{"attach", "-readonly", "-nobrowse", "-plist", "-mountpoint", mp, "-noautoopen", img}, "usage"},
        {{"attach", "-nobrowse", "-readonly", "-plist", "-mountpoint", mp, "-noautoopen", img, "extra"}, "usage"},
        {{"detach"}, "usage"},
        {{"detach", mp, "-force"}, "usage"},
    };
    for (const auto& [arguments, expected] : cases) {
        SCOPED_TRACE(arguments.empty() ? "(no arguments)" : arguments.back());
        auto outcome = hdiutil(arguments);
        EXPECT_NE(outcome.exitStatus, 0);
        EXPECT_NE(outcome.standardError.find(expected), std::string::npos) << outcome.standardError.substr(0, 500);
        EXPECT_LT(outcome.standardError.size(), 5000u);
        EXPECT_TRUE(outcome.standardOutput.empty());
        expectUntouched(mountPoint);
    }
    EXPECT_EQ(tavik::testing::describeTree(occupied), std::vector<std::string> {"mine.txt mode=644 file:keep me\n"});
    // No refusal took much memory: the peak of every program this test ran
    // and waited for, the stand-in and its 7-Zip runs among them.
    struct rusage usage {};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 600L * 1024) << "peak KiB";
    // The failed attaches left no record that would block the mount point.
    auto good = attach(image, mountPoint);
    EXPECT_EQ(good.exitStatus, 0) << good.standardError;
    EXPECT_EQ(detach(mountPoint).exitStatus, 0);
}

// Under a tracer (strace here, a debugger elsewhere) 7-Zip cannot be held
// beside the listing; it extracts after it instead, to the same volume.
TEST_F(HdiutilTest, AttachesWhereSevenZipCannotBeHeld)
{
    auto source = makeApplicationTree();
    auto image = makeImage(source, "traced.dmg");
    auto mountPoint = makeMountPoint("traced");
    auto arguments = attachArguments(image, mountPoint);
    arguments.insert(arguments.begin(), {"strace", "-f", "-qq", "-e", "trace=none", "-o", "/dev/null", TAVIK_HDIUTIL_PATH});
    // The leak checker of a sanitized build cannot run under a tracer.
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    tavik::testing::ScopedEnvironment untracedChecks;
    untracedChecks.set("ASAN_OPTIONS", std::string(sanitizerOptions ? sanitizerOptions : "") + ":detect_leaks=0");
    auto attached = run(arguments);
    ASSERT_EQ(attached.exitStatus, 0) << attached.standardError;
    auto expected = tavik::testing::describeTree(source);
    for (auto& line : expected)
        if (line.starts_with("shared.txt ")) line = "shared.txt mode=755 file:everyone\n"; // less write for others
    EXPECT_EQ(tavik::testing::describeTree(mountPoint), expected);
    EXPECT_EQ(detach(mountPoint).exitStatus, 0);
}

// A 7-Zip that hangs, is slow, or cannot show its own link checks: the
// attach fails, says why and lays nothing out.
TEST_F(HdiutilTest, AnUnfitOrSlowSevenZipFailsTheAttach)
{
    auto image = makeImage(makeApplicationTree(), "Example.dmg");
    // The version is read from the banner that starts every run's output.
    auto reporting = [](const std::string& banner) { return "echo '" + banner + "'\nexec /usr/bin/7zz \"$@\""; };
    const std::string slow = "sleep 0.7\nexec /usr/bin/7zz \"$@\"";
    struct Case {
        std::string script;
        const char* timeLimit;
        std::string expected;
    };
    const Case cases[] = {
        {"exec sleep 30", "1", "took too long"},
        // Each run is well inside the limit; together they are not.
        {slow, "1", "took too long"},
        {reporting("7-Zip [64] 16.02 : Copyright (c) 1999-2016 Igor Pavlov"), nullptr, "7zz 16.02 is too old"},
        {reporting("7-Zip (z) 25.00 (x64) : Copyright (c) 1999-2025 Igor Pavlov"), nullptr, "7zz 25.00 is too old"},
        {reporting("something else entirely"), nullptr, "cannot tell the version"},
        // Without the limit the slow 7-Zip still attaches.
        {slow, nullptr, ""},
    };
    environment.prependToPath((scratch / "bin").string());
    int attempts = 0;
    for (const auto& [script, timeLimit, expected] : cases) {
        SCOPED_TRACE(expected);
        tavik::testing::ScopedEnvironment limit;
        if (timeLimit) limit.set("TAVIK_HDIUTIL_TIME_LIMIT", timeLimit);
        auto mountPoint = makeMountPoint("attempt " + std::to_string(++attempts));
        writeFile(scratch / "bin/7zz", "#!/bin/sh\n" + script + "\n", 0755);
        auto outcome = attach(image, mountPoint);
        EXPECT_EQ(outcome.exitStatus == 0, expected.empty()) << outcome.standardError;
        EXPECT_NE(outcome.standardError.find(expected), std::string::npos) << outcome.standardError;
        EXPECT_EQ(fs::is_empty(mountPoint), !expected.empty());
    }
}

TEST_F(HdiutilTest, VolumeLargerThanTheFreeSpaceIsRefusedBeforeAnythingIsWritten)
{
    std::string whyNot;
    auto small = tavik::testing::SmallFileSystem::mount(48 << 20, whyNot);
    if (!small)
        GTEST_SKIP() << whyNot;
    auto mountPoint = small->path() / "mounts/large";
    fs::create_directories(mountPoint);
    // 36 MiB fits the image's partition but not 48 MiB less the 16 MiB reserve.
    tavik::testing::writeFile(scratch / "large/zeros.bin", std::string(36 << 20, '\0'));
    auto image = makeImage(scratch / "large", "large.dmg");
    auto freeBlocks = [&] {
        struct statvfs info {};
        EXPECT_EQ(statvfs(small->path().c_str(), &info), 0);
        return info.f_bfree;
    };
    auto freeBefore = freeBlocks();
    auto refused = attach(image, mountPoint);
    EXPECT_NE(refused.exitStatus, 0);
    EXPECT_NE(refused.standardError.find("too large for the free space"), std::string::npos) << refused.standardError;
    EXPECT_EQ(freeBlocks(), freeBefore);
    expectUntouched(mountPoint);

    // An image that fits attaches there.
    auto attached = attach(makeImage(makeApplicationTree(), "fits.dmg"), mountPoint);
    EXPECT_EQ(attached.exitStatus, 0) << attached.standardError;
    EXPECT_EQ(detach(mountPoint).exitStatus, 0);
}

TEST_F(HdiutilTest, GeneratorRefusesWhatAVolumeCannotHold)
{
    tavik::testing::writeFile(scratch / "twins/Read Me", "one");
    tavik::testing::writeFile(scratch / "twins/READ ME", "two");
    fs::create_directories(scratch / "fifo");
    ASSERT_EQ(mkfifo((scratch / "fifo/pipe").c_str(), 0644), 0);
    for (const auto& source : {scratch / "twins", scratch / "fifo", scratch / "missing"}) {
        auto outcome = run({TAVIK_MAKE_DMG_PATH, source.string(), (scratch / "refused.dmg").string()});
        EXPECT_NE(outcome.exitStatus, 0) << source;
        EXPECT_FALSE(outcome.standardError.empty());
        EXPECT_FALSE(fs::exists(scratch / "refused.dmg"));
    }
}
