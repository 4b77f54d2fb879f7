#include "Tavik/file-handling/ZIPActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/log/LogCapture.hpp"
#include "platform/testing/SmallFileSystem.hpp"
#include "zip/Errors.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

using ZIPEntry = SearchZIPAction::ZIPEntry;
using ExtractedEntry = ExtractEntryFromZIPAction::ExtractedEntry;

const auto rootSource = InstallableApplication::Source::directory(URL::fileURL("/downloads", true), FileSource::directory);

log::Logger testLog(const char* category) { return log::Logger("app.tavik.TavikActions", category); }

bool hasEntryStartingWith(const log::LogCapture& logs, log::Level level, const std::string& prefix)
{
    auto entries = logs.entries();
    return std::any_of(entries.begin(), entries.end(),
        [&](const log::Entry& entry) { return entry.level == level && entry.message.starts_with(prefix); });
}

// What a search found, one line per finding: "kind path" (an application
// lists its entries' paths).
std::vector<std::string> describe(const std::vector<ZIPEntry>& findings)
{
    std::vector<std::string> lines;
    for (const auto& finding : findings) {
        if (auto* application = std::get_if<ZIPEntry::Application>(&finding.kind)) {
            std::string line = "app " + application->name + ":";
            for (const auto& entry : application->entries)
                line += " " + entry.path();
            lines.push_back(line);
        } else if (auto* dmg = std::get_if<ZIPEntry::DMG>(&finding.kind)) {
            lines.push_back("dmg " + dmg->entry.path());
        } else if (auto* zip = std::get_if<ZIPEntry::ZIP>(&finding.kind)) {
            lines.push_back("zip " + zip->entry.path());
        } else if (auto* package = std::get_if<ZIPEntry::PKG>(&finding.kind)) {
            lines.push_back("pkg " + package->entry.path());
        } else if (auto* tarArchive = std::get_if<ZIPEntry::TAR>(&finding.kind)) {
            lines.push_back("tar " + tarArchive->entry.path());
        } else {
            lines.push_back("appimage " + std::get<ZIPEntry::AppImage>(finding.kind).entry.path());
        }
    }
    return lines;
}

class ZIPActionsTest : public ::testing::Test {
protected:
    std::vector<ZIPEntry> search(const fs::path& archive)
    {
        ResultWaiter<URL, std::vector<ZIPEntry>> waiter;
        SearchZIPAction(FileManager::defaultManager(), testLog("Find Applications")).perform(URL::fileURL(archive, false), waiter.completion());
        auto result = waiter.wait();
        EXPECT_TRUE(result && result->isMapped());
        return result && result->output() ? *result->output() : std::vector<ZIPEntry> {};
    }

    actions::FileActionResult<ZIPEntry, ExtractedEntry> extract(const ZIPEntry& finding, const fs::path& destination)
    {
        ResultWaiter<ZIPEntry, ExtractedEntry> waiter;
        ExtractEntryFromZIPAction(URL::fileURL(destination, true), testLog("Extract Entry from ZIP")).perform(finding, waiter.completion());
        return *waiter.wait();
    }

    std::vector<InstallableApplication> extractAll(const fs::path& archive, const fs::path& destination)
    {
        ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
        ExtractApplicationsInZIPAction(URL::fileURL(destination, true), nullptr, rootSource)
            .perform(URL::fileURL(archive, false), waiter.completion());
        auto result = waiter.wait();
        EXPECT_TRUE(result && result->isMapped()) << (result && result->error() ? result->error()->description() : "");
        return result && result->output() ? *result->output() : std::vector<InstallableApplication> {};
    }

    ScratchFolder work_;
    log::LogCapture logs_;
};

TEST_F(ZIPActionsTest, SearchSortsEntriesByTheirExactSuffixesAndFindsOnlyTopLevelBundles)
{
    auto archive = work_ / "Download.zip";
    writePythonZip(archive, {
                                R"(folder("Example.app/"))",
                                R"(file("Example.app/Contents/Info.plist"))",
                                R"(file("Example.app/Contents/Resources/Plugins.zip"))",
                                R"(link("Example.app/Contents/Current", b"Resources"))",
                                R"(folder("Folder/Buried.app/"))",
                                R"(file("Folder/Buried.app/Contents/Info.plist"))",
                                R"(file("__MACOSX/Example.app/._Info.plist"))",
                                R"(file("__MACOSX/._Setup.dmg"))",
                                R"(file("Setup.dmg"))",
                                R"(file("Shout.DMG"))",
                                R"(file("Installer.pkg"))",
                                R"(file("Other.app/Contents/Info.plist"))",
                                R"(file("Read Me.txt"))",
                            });
    auto findings = search(archive);
    std::vector<std::string> expected {
        "dmg __MACOSX/._Setup.dmg",
        "dmg Setup.dmg",
        "zip Example.app/Contents/Resources/Plugins.zip",
        "pkg Installer.pkg",
        "app Example.app: Example.app/ Example.app/Contents/Info.plist Example.app/Contents/Current",
        "app Other.app: Other.app/Contents/Info.plist",
    };
    auto lines = describe(findings);
    // Applications come last, in no particular order.
    std::sort(lines.begin() + 4, lines.end());
    EXPECT_EQ(lines, expected);
    for (const auto& finding : findings)
        EXPECT_EQ(finding.archive, findings.front().archive);
    EXPECT_TRUE(logs_.contains(log::Level::defaultLevel, "Finding applications in " + archive.string()));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found DMG in archive at " + archive.string() + " with internal path Setup.dmg"));
    EXPECT_TRUE(logs_.contains(log::Level::info,
        "Found ZIP in archive at " + archive.string() + " with internal path Example.app/Contents/Resources/Plugins.zip"));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found PKG in archive at " + archive.string() + " with internal path Installer.pkg"));
    EXPECT_TRUE(logs_.contains(log::Level::info, "Found app in archive at " + archive.string() + " with internal path Example.app"));

    // An archive with nothing of interest maps to nothing; a file that is not
    // an archive fails.
    auto boring = work_ / "Boring.zip";
    writePythonZip(boring, {R"(file("notes.txt"))"});
    EXPECT_TRUE(search(boring).empty());
    auto notArchive = work_ / "NotAnArchive.zip";
    writeFile(notArchive, std::string(100, 'x'));
    ResultWaiter<URL, std::vector<ZIPEntry>> waiter;
    SearchZIPAction(FileManager::defaultManager(), testLog("Find Applications")).perform(URL::fileURL(notArchive, false), waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result->isFailure());
    auto* error = dynamic_cast<const SearchZIPAction::Error*>(result->error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorCode(), SearchZIPAction::Error::Code::invalidArchive);
    EXPECT_TRUE(logs_.contains(log::Level::error, "File at " + notArchive.string() + " is not a valid archive"));
}

TEST_F(ZIPActionsTest, LinksAreOrderedAfterFilesAndAfterTheLinksTheyLeadThrough)
{
    auto archive = work_ / "Links.zip";
    writePythonZip(archive, {
                                R"(link("Example.app/Contents/Frameworks/Kit.framework/Kit", b"Versions/Current/Kit"))",
                                R"(link("Example.app/Contents/Frameworks/Kit.framework/Resources", b"Versions/Current/Resources"))",
                                R"(file("Example.app/Contents/Frameworks/Kit.framework/Versions/A/Kit"))",
                                R"(link("Example.app/Contents/Frameworks/Kit.framework/Versions/Current", b"A"))",
                                R"(folder("Example.app/Contents/Frameworks/Kit.framework/Versions/A/Resources/"))",
                                R"(link("Example.app/Contents/Top", b"Frameworks/Kit.framework/Kit"))",
                            });
    auto findings = search(archive);
    ASSERT_EQ(findings.size(), 1u);
    auto& application = std::get<ZIPEntry::Application>(findings.front().kind);
    auto ordered = findings.front().archive->withArchive(
        [&](zip::Archive& reader) { return reader.extractionOrder(application.entries); });
    ASSERT_TRUE(ordered);
    std::vector<std::string> paths;
    for (const auto& entry : *ordered)
        paths.push_back(entry.path().substr(std::string("Example.app/Contents/").size()));
    // Kit's target lies under Current's path, so Current goes first; Top's
    // target begins with Kit's path, so it follows Kit.
    EXPECT_EQ(paths, (std::vector<std::string> {
                         "Frameworks/Kit.framework/Versions/A/Kit",
                         "Frameworks/Kit.framework/Versions/A/Resources/",
                         "Frameworks/Kit.framework/Versions/Current",
                         "Frameworks/Kit.framework/Kit",
                         "Top",
                         "Frameworks/Kit.framework/Resources",
                     }));
}

TEST_F(ZIPActionsTest, FrameworkBundleIsExtractedAsUnzipMakesIt)
{
    auto tree = work_ / "tree";
    makeBundle(tree / "Example.app");
    auto framework = tree / "Example.app/Contents/Frameworks/Kit.framework";
    writeFile(framework / "Versions/A/Kit", "library");
    writeFile(framework / "Versions/A/Resources/Info.plist", "<plist/>");
    fs::create_directory_symlink("A", framework / "Versions/Current");
    fs::create_symlink("Versions/Current/Kit", framework / "Kit");
    fs::create_directory_symlink("Versions/Current/Resources", framework / "Resources");
    fs::permissions(framework / "Versions/A/Kit", fs::perms(0750));
    // zip lists the links before the folders they point into.
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Example.zip").string(), "Example.app"}, tree), 0);

    auto items = extractAll(work_ / "Example.zip", work_ / "working");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().url, URL::fileURL(work_ / "working/Example.app", true));
    EXPECT_EQ(describeSource(items.front().source), "zip(Example.zip) < directory");
    EXPECT_EQ(items.front().kind, InstallableApplication::Kind::application);

    ASSERT_EQ(run({"unzip", "-qq", (work_ / "Example.zip").string(), "-d", (work_ / "unzipped").string()}), 0);
    EXPECT_EQ(describeTree(work_ / "working"), describeTree(work_ / "unzipped"));
    EXPECT_EQ(readFile(work_ / "working/Example.app/Contents/Frameworks/Kit.framework/Kit"), "library");
}

TEST_F(ZIPActionsTest, LinkThatIsNotUTF8FailsTheBundleBeforeAnythingIsWritten)
{
    auto archive = work_ / "Bad.zip";
    writePythonZip(archive, {
                                R"(folder("Bad.app/"))",
                                R"(file("Bad.app/Contents/Info.plist"))",
                                R"(link("Bad.app/Contents/Broken", b"\xff\xfe"))",
                                R"(file("Good.app/Contents/Info.plist"))",
                            });
    auto items = extractAll(archive, work_ / "working");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().url.lastPathComponent(), "Good.app");
    EXPECT_FALSE(fs::exists(work_ / "working/Bad.app"));
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Failed to sort Bad.app entries: "));

    auto findings = search(archive);
    auto bad = std::find_if(findings.begin(), findings.end(), [](const ZIPEntry& finding) {
        auto* application = std::get_if<ZIPEntry::Application>(&finding.kind);
        return application && application->name == "Bad.app";
    });
    ASSERT_NE(bad, findings.end());
    auto result = extract(*bad, work_ / "again");
    EXPECT_TRUE(zip::ArchiveError::is(result.error(), zip::ArchiveError::Code::invalidEntryPath));
    EXPECT_FALSE(fs::exists(work_ / "again/Bad.app"));
}

TEST_F(ZIPActionsTest, EntriesNeverLandOutsideTheWorkingFolder)
{
    auto archive = work_ / "Hostile.zip";
    fs::path absolute = work_ / "absolute.pkg";
    writePythonZip(archive, {
                                R"(file("../escape.pkg"))",
                                R"(file("Sub/../../escape.dmg"))",
                                "file(\"" + absolute.string() + "\")",
                                R"(file("Evil.app/Contents/Info.plist"))",
                                R"(file("Evil.app/../../escape-from-bundle"))",
                                R"(link("Linked.pkg", b"/etc/hostname"))",
                                R"(link("Sneaky.app/Contents", b"../.."))",
                                R"(file("Sneaky.app/Contents/planted"))",
                                R"(file("Fine.app/Contents/Info.plist"))",
                            });
    auto working = work_ / "nest/working";
    auto items = extractAll(archive, working);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().url.lastPathComponent(), "Fine.app");
    EXPECT_FALSE(fs::exists(absolute));
    EXPECT_FALSE(fs::exists(work_ / "nest/escape.pkg"));
    EXPECT_FALSE(fs::exists(work_ / "nest/escape.dmg"));
    EXPECT_FALSE(fs::exists(work_ / "escape-from-bundle"));
    EXPECT_FALSE(fs::exists(work_ / "nest/escape-from-bundle"));
    EXPECT_FALSE(fs::exists(work_ / "nest/planted"));
    EXPECT_FALSE(fs::exists(work_ / "planted"));
    // Nothing of the refused bundle was written; the linked package was not made.
    EXPECT_FALSE(fs::exists(working / "Evil.app"));
    EXPECT_FALSE(fs::exists(working / "Linked.pkg"));
    std::vector<std::string> top;
    for (const auto& item : fs::directory_iterator(work_ / "nest"))
        top.push_back(item.path().filename().string());
    EXPECT_EQ(top, std::vector<std::string> {"working"});
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Failed to extract ../escape.pkg from " + archive.string() + ": "));
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Error extracting file entry at Evil.app/../../escape-from-bundle: "));
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Failed to extract Linked.pkg from " + archive.string() + ": "));
}

TEST_F(ZIPActionsTest, ArchiveInsideArchiveIsExtractedThenSearchedWithTheNestedSource)
{
    auto tree = work_ / "tree";
    makeBundle(tree / "Inner.app");
    ASSERT_EQ(run({"zip", "-qry", (tree / "Inner.zip").string(), "Inner.app"}, tree), 0);
    fs::remove_all(tree / "Inner.app");
    makeBundle(tree / "Outer.app");
    writeFile(tree / "Tool.pkg", "xar!");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Outer.zip").string(), "Inner.zip", "Outer.app", "Tool.pkg"}, tree), 0);

    auto items = extractAll(work_ / "Outer.zip", work_ / "working");
    std::vector<std::string> lines;
    for (const auto& item : items)
        lines.push_back(item.url.path().lexically_relative(work_ / "working").string() + " "
            + (item.kind == InstallableApplication::Kind::package ? "package" : "application") + " in " + describeSource(item.source));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string> {
                         "Inner.app application in zip(Inner.zip) < zip(Outer.zip) < directory",
                         "Outer.app application in zip(Outer.zip) < directory",
                         "Tool.pkg package in zip(Outer.zip) < directory",
                     }));
    auto& inner = std::get<InstallableApplication::Source::ZIP>(
        std::find_if(items.begin(), items.end(), [](auto& item) { return item.url.lastPathComponent() == "Inner.app"; })->source.value);
    EXPECT_EQ(inner.url, URL::fileURL(work_ / "working/Inner.zip", false));

    // Extracting again onto what is there fails for every finding.
    auto again = extractAll(work_ / "Outer.zip", work_ / "working");
    EXPECT_TRUE(again.empty());
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Failed to extract Tool.pkg from " + (work_ / "Outer.zip").string() + ": "));
}

TEST_F(ZIPActionsTest, ArchivesThatDoNotFitTheSpaceLeftAreRefusedBeforeAnythingIsWritten)
{
    std::string whyNot;
    auto fileSystem = SmallFileSystem::mount(64 << 20, whyNot);
    if (!fileSystem)
        GTEST_SKIP() << whyNot;
    auto working = fileSystem->path() / "working";

    // 64 MiB of honest zeros in a file system that lets 48 MiB be written:
    // the whole archive is refused, the bundle that would fit included.
    std::string script = R"(import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Big.app/Contents/Resources/zeros", bytes(64 << 20))
    z.writestr("Small.app/Contents/Info.plist", b"<plist/>")
)";
    ASSERT_EQ(run({"python3", "-c", script, (work_ / "Big.zip").string()}), 0);
    ASSERT_LT(fs::file_size(work_ / "Big.zip"), 1u << 20);
    ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
    ExtractApplicationsInZIPAction(URL::fileURL(working, true), nullptr, rootSource)
        .perform(URL::fileURL(work_ / "Big.zip", false), waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result && !result->isMapped());
    ASSERT_TRUE(zip::InsufficientSpaceError::is(result->error()));
    EXPECT_TRUE(result->error()->description().starts_with("The archive is too large for the free space"))
        << result->error()->description();
    EXPECT_TRUE(fs::is_empty(fileSystem->path()));

    // Nested, the same archive is checked against the space left when it
    // is reached; what else the outer archive holds is extracted.
    auto tree = work_ / "tree";
    fs::create_directories(tree);
    fs::copy_file(work_ / "Big.zip", tree / "Inner.zip");
    makeBundle(tree / "Fine.app");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Outer.zip").string(), "Inner.zip", "Fine.app"}, tree), 0);
    auto items = extractAll(work_ / "Outer.zip", working);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().url.lastPathComponent(), "Fine.app");
    EXPECT_TRUE(fs::exists(working / "Inner.zip"));
    EXPECT_FALSE(fs::exists(working / "Big.app"));
    EXPECT_FALSE(fs::exists(working / "Small.app"));
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error,
        "Not extracting " + (working / "Inner.zip").string() + ": The archive is too large for the free space"));
}

TEST_F(ZIPActionsTest, AnArchiveBeyondTheReadersLimitsIsRefusedAsAWhole)
{
    auto archive = work_ / "Long.zip";
    writePythonZip(archive, {
                                R"(file("Fine.app/Contents/Info.plist"))",
                                R"(file("Long.app/" + "x" * 1100))",
                            });
    ResultWaiter<URL, std::vector<InstallableApplication>> waiter;
    ExtractApplicationsInZIPAction(URL::fileURL(work_ / "working", true), nullptr, rootSource)
        .perform(URL::fileURL(archive, false), waiter.completion());
    auto result = waiter.wait();
    ASSERT_TRUE(result && !result->isMapped());
    EXPECT_TRUE(zip::ArchiveError::is(result->error(), zip::ArchiveError::Code::entryPathTooLong));
    EXPECT_FALSE(fs::exists(work_ / "working"));
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Archive at " + archive.string() + " is beyond the limits"));
}

TEST_F(ZIPActionsTest, ABundleThatFailsHalfwayLeavesNothingOfItselfBehind)
{
    auto archive = work_ / "Clash.zip";
    writePythonZip(archive, {
                                R"(folder("Clash.app/"))",
                                R"(file("Clash.app/Contents/Info.plist"))",
                                R"(file("Clash.app/Contents/MacOS/Clash", b"new"))",
                                R"(file("Clash.app/Contents/Resources/icon", b"icon"))",
                                R"(file("Other.pkg", b"xar!"))",
                            });
    // Something of the user's is in the way of one entry.
    auto working = work_ / "working";
    writeFile(working / "Clash.app/Contents/MacOS/Clash", "old");

    auto items = extractAll(archive, working);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items.front().url.lastPathComponent(), "Other.pkg");
    EXPECT_TRUE(hasEntryStartingWith(logs_, log::Level::error, "Error extracting file entry at Clash.app/Contents/MacOS/Clash: "));
    // The user's file and the folders that held it before stay; the rest of
    // the bundle is gone.
    EXPECT_EQ(describeTree(working), (std::vector<std::string> {
                                         "Clash.app mode=755 folder",
                                         "Clash.app/Contents mode=755 folder",
                                         "Clash.app/Contents/MacOS mode=755 folder",
                                         "Clash.app/Contents/MacOS/Clash mode=644 file:old",
                                         "Other.pkg mode=644 file:xar!",
                                     }));
}

TEST_F(ZIPActionsTest, AppImagesAndTarArchivesInsideAreFound)
{
    auto tree = work_ / "tree";
    makeAppImage(tree / "bin/Tool.AppImage", "Tool");
    writeFile(tree / "Fake.AppImage", "#!/bin/sh\n");
    makeBundle(work_ / "tar-tree/Tarred.app");
    ASSERT_EQ(run({"tar", "-cJf", (tree / "Tarred.tar.xz").string(), "-C", (work_ / "tar-tree").string(), "Tarred.app"}), 0);
    writeFile(tree / "tool.deb", "!<arch>\ndebian-binary   ");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Linux.zip").string(), "."}, tree), 0);

    auto lines = describe(search(work_ / "Linux.zip"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string> {"appimage Fake.AppImage", "appimage bin/Tool.AppImage", "pkg tool.deb", "tar Tarred.tar.xz"}));

    // Only the file that carries the magic is an application.
    auto items = extractAll(work_ / "Linux.zip", work_ / "working");
    std::vector<std::string> found;
    for (const auto& item : items)
        found.push_back(item.url.path().lexically_relative(work_ / "working").string() + " in " + describeSource(item.source));
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string> {
                         "Tarred.app in zip(Tarred.tar.xz) < zip(Linux.zip) < directory",
                         "bin/Tool.AppImage in zip(Linux.zip) < directory",
                         "tool.deb in zip(Linux.zip) < directory",
                     }));
}

} // namespace
