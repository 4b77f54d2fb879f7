#include "Tavik/file-handling/ZIPActions.hpp"
#include "Tavik/file-handling/tests/SearchFixtures.hpp"
#include "platform/testing/SmallFileSystem.hpp"
#include "zip/Errors.hpp"

using namespace tavik;
using namespace tavik::testing;

namespace {

using ZIPEntry = SearchZIPAction::ZIPEntry;

// One line per finding, "kind path" (an application lists its entries).
std::vector<std::string> describe(const std::vector<ZIPEntry>& findings)
{
    std::vector<std::string> lines;
    for (const auto& finding : findings)
        std::visit([&](const auto& kind) {
            if constexpr (requires { kind.entries; }) {
                lines.push_back("app " + kind.name + ":");
                for (const auto& entry : kind.entries) lines.back() += " " + entry.path();
            } else {
                const char* const names[] = {"app", "dmg", "zip", "pkg", "tar", "appimage"};
                lines.push_back(names[finding.kind.index()] + (" " + kind.entry.path()));
            }
        },
            finding.kind);
    return lines;
}

class ZIPActionsTest : public ::testing::Test {
protected:
    auto search(const fs::path& archive) { return performed(SearchZIPAction(FileManager::defaultManager(), log::Logger("app.tavik.TavikActions", "Find Applications")), URL::fileURL(archive, false)); }
    std::vector<ZIPEntry> found(const fs::path& archive)
    {
        auto result = search(archive);
        EXPECT_TRUE(result && result->isMapped());
        return result && result->output() ? *result->output() : std::vector<ZIPEntry> {};
    }
    auto extract(const fs::path& archive, const fs::path& working) { return performed(ExtractApplicationsInZIPAction(URL::fileURL(working, true), nullptr, downloadsSource), URL::fileURL(archive, false)); }
    std::vector<InstallableApplication> extracted(const fs::path& archive, const fs::path& working)
    {
        auto result = extract(archive, working);
        EXPECT_TRUE(result && result->isMapped()) << (result && result->error() ? result->error()->description() : "");
        return result && result->output() ? *result->output() : std::vector<InstallableApplication> {};
    }

    ScratchFolder work_;
};

TEST_F(ZIPActionsTest, SearchSortsEntriesByTheirExactSuffixesAndFindsOnlyTopLevelBundles)
{
    auto archive = work_ / "Download.zip";
    writePythonZip(archive, {R"(folder("Example.app/"))", R"(file("Example.app/Contents/Info.plist"))", R"(file("Example.app/Contents/Resources/Plugins.zip"))", R"(link("Example.app/Contents/Current", b"Resources"))", R"(folder("Folder/Buried.app/"))", R"(file("Folder/Buried.app/Contents/Info.plist"))", R"(file("__MACOSX/Example.app/._Info.plist"))", R"(file("__MACOSX/._Setup.dmg"))", R"(file("Setup.dmg"))", R"(file("Shout.DMG"))", R"(file("Installer.pkg"))", R"(file("Other.app/Contents/Info.plist"))", R"(file("Read Me.txt"))"});
    auto findings = found(archive);
    auto lines = describe(findings);
    // Applications come last, in no particular order.
    ASSERT_EQ(lines.size(), 6u);
    std::sort(lines.begin() + 4, lines.end());
    EXPECT_EQ(lines, (std::vector<std::string> {"dmg __MACOSX/._Setup.dmg", "dmg Setup.dmg", "zip Example.app/Contents/Resources/Plugins.zip", "pkg Installer.pkg", "app Example.app: Example.app/ Example.app/Contents/Info.plist Example.app/Contents/Current", "app Other.app: Other.app/Contents/Info.plist"}));
    for (const auto& finding : findings) EXPECT_EQ(finding.archive, findings.front().archive);

    // Nothing of interest maps to nothing; a file that is not an archive fails.
    writePythonZip(work_ / "Boring.zip", {R"(file("notes.txt"))"});
    EXPECT_TRUE(found(work_ / "Boring.zip").empty());
    writeFile(work_ / "NotAnArchive.zip", std::string(100, 'x'));
    auto result = search(work_ / "NotAnArchive.zip");
    auto* error = dynamic_cast<const SearchZIPAction::Error*>(result->error().get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorCode(), SearchZIPAction::Error::Code::invalidArchive);
}

// Links are written after what they lead through (a link too), whatever the archive's order.
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
    fs::create_symlink("Frameworks/Kit.framework/Kit", tree / "Example.app/Contents/Top");
    fs::permissions(framework / "Versions/A/Kit", fs::perms(0750));
    // zip lists the links before the folders they point into.
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Example.zip").string(), "Example.app"}, tree), 0);

    EXPECT_EQ(describeItems(extracted(work_ / "Example.zip", work_ / "working"), work_.path()), std::vector<std::string> {"working/Example.app in zip(Example.zip) < directory"});
    ASSERT_EQ(run({"unzip", "-qq", (work_ / "Example.zip").string(), "-d", (work_ / "unzipped").string()}), 0);
    EXPECT_EQ(describeTree(work_ / "working"), describeTree(work_ / "unzipped"));
    EXPECT_EQ(readFile(work_ / "working/Example.app/Contents/Top"), "library");
}

// Archives inside are searched with the nested source; AppImages count only when their content shows it.
TEST_F(ZIPActionsTest, NestedArchivesAppImagesAndPackagesInsideAreFoundAndExtractedWithTheirSources)
{
    auto tree = work_ / "tree";
    makeBundle(work_ / "inner-tree/Inner.app");
    fs::create_directories(tree);
    ASSERT_EQ(run({"zip", "-qry", (tree / "Inner.zip").string(), "Inner.app"}, work_ / "inner-tree"), 0);
    makeBundle(work_ / "inner-tree/Tarred.app");
    ASSERT_EQ(run({"tar", "-cJf", (tree / "Tarred.tar.xz").string(), "-C", (work_ / "inner-tree").string(), "Tarred.app"}), 0);
    makeBundle(tree / "Outer.app");
    writeFile(tree / "Tool.pkg", "xar!");
    writeFile(tree / "tool.deb", "!<arch>\ndebian-binary   ");
    makeAppImage(tree / "bin/Tool.AppImage", "Tool");
    writeFile(tree / "Fake.AppImage", "#!/bin/sh\n");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Outer.zip").string(), "."}, tree), 0);

    auto lines = describe(found(work_ / "Outer.zip"));
    std::sort(lines.begin(), lines.end());
    ASSERT_TRUE(!lines.empty() && lines.front().starts_with("app Outer.app: "));
    lines.erase(lines.begin());
    EXPECT_EQ(lines, (std::vector<std::string> {"appimage Fake.AppImage", "appimage bin/Tool.AppImage", "pkg Tool.pkg", "pkg tool.deb", "tar Tarred.tar.xz", "zip Inner.zip"}));
    auto items = extracted(work_ / "Outer.zip", work_ / "working");
    EXPECT_EQ(describeItems(items, work_ / "working"), (std::vector<std::string> {"Inner.app in zip(Inner.zip) < zip(Outer.zip) < directory", "Outer.app in zip(Outer.zip) < directory", "Tarred.app in zip(Tarred.tar.xz) < zip(Outer.zip) < directory", "Tool.pkg package in zip(Outer.zip) < directory", "bin/Tool.AppImage in zip(Outer.zip) < directory", "tool.deb package in zip(Outer.zip) < directory"}));
    for (const auto& item : items)
        if (item.url.lastPathComponent() == "Inner.app") {
            EXPECT_EQ(std::get<InstallableApplication::Source::ZIP>(item.source.value).url, URL::fileURL(work_ / "working/Inner.zip", false));
        }
    // Extracting again onto what is there fails for every finding.
    EXPECT_TRUE(extracted(work_ / "Outer.zip", work_ / "working").empty());
}

// Hostile entries are refused and failing bundles go whole; what of the user's was in the way stays.
TEST_F(ZIPActionsTest, RefusedEntriesAndFailedBundlesLeaveNothingOfThemselvesBehind)
{
    const fs::path absolute = work_ / "absolute.pkg";
    const std::tuple<std::string, std::vector<std::string>, std::string, std::vector<std::string>> cases[] = {
        {"Hostile", {R"(file("../escape.pkg"))", R"(file("Sub/../../escape.dmg"))", "file(\"" + absolute.string() + "\")", R"(file("Evil.app/Contents/Info.plist"))", R"(file("Evil.app/../../escape-from-bundle"))", R"(link("Linked.pkg", b"/etc/hostname"))", R"(link("Sneaky.app/Contents", b"../.."))", R"(file("Sneaky.app/Contents/planted"))", R"(file("Fine.app/Contents/Info.plist"))"},
            "Fine.app", {"working mode=755 folder", "working/Fine.app mode=755 folder", "working/Fine.app/Contents mode=755 folder", "working/Fine.app/Contents/Info.plist mode=644 file:data"}},
        {"NotUTF8", {R"(folder("Bad.app/"))", R"(file("Bad.app/Contents/Info.plist"))", R"(link("Bad.app/Contents/Broken", b"\xff\xfe"))", R"(file("Good.app/Contents/Info.plist"))"},
            "Good.app", {"working mode=755 folder", "working/Good.app mode=755 folder", "working/Good.app/Contents mode=755 folder", "working/Good.app/Contents/Info.plist mode=644 file:data"}},
        {"Clash", {R"(folder("Clash.app/"))", R"(file("Clash.app/Contents/Info.plist"))", R"(file("Clash.app/Contents/MacOS/Clash", b"new"))", R"(file("Clash.app/Contents/Resources/icon", b"icon"))", R"(file("Other.pkg", b"xar!"))"},
            "Other.pkg package", {"working mode=755 folder", "working/Clash.app mode=755 folder", "working/Clash.app/Contents mode=755 folder", "working/Clash.app/Contents/MacOS mode=755 folder", "working/Clash.app/Contents/MacOS/Clash mode=644 file:old", "working/Other.pkg mode=644 file:xar!"}},
    };
    writeFile(work_ / "Clash/working/Clash.app/Contents/MacOS/Clash", "old");
    for (const auto& [name, entries, kept, tree] : cases) {
        SCOPED_TRACE(name);
        writePythonZip(work_ / (name + ".zip"), entries);
        EXPECT_EQ(describeItems(extracted(work_ / (name + ".zip"), work_ / name / "working")), std::vector<std::string> {kept + " in zip(" + name + ".zip) < directory"});
        EXPECT_EQ(describeTree(work_ / name), tree);
    }
    EXPECT_FALSE(fs::exists(absolute));

    // Extracted on its own, the bundle whose link is not UTF-8 fails before anything is written.
    auto findings = found(work_ / "NotUTF8.zip");
    auto bad = std::ranges::find_if(findings, [](const ZIPEntry& finding) { return std::holds_alternative<ZIPEntry::Application>(finding.kind) && std::get<ZIPEntry::Application>(finding.kind).name == "Bad.app"; });
    ASSERT_NE(bad, findings.end());
    auto result = performed(ExtractEntryFromZIPAction(URL::fileURL(work_ / "again", true), log::Logger("app.tavik.TavikActions", "Extract Entry from ZIP")), *bad);
    EXPECT_TRUE(zip::ArchiveError::is(result->error(), zip::ArchiveError::Code::invalidEntryPath));
    EXPECT_FALSE(fs::exists(work_ / "again/Bad.app"));
}

TEST_F(ZIPActionsTest, ArchivesBeyondTheReadersLimitsOrTheSpaceLeftAreRefusedBeforeAnythingIsWritten)
{
    writePythonZip(work_ / "Long.zip", {R"(file("Fine.app/Contents/Info.plist"))", R"(file("Long.app/" + "x" * 1100))"});
    auto result = extract(work_ / "Long.zip", work_ / "working");
    EXPECT_TRUE(zip::ArchiveError::is(result->error(), zip::ArchiveError::Code::entryPathTooLong));
    EXPECT_FALSE(fs::exists(work_ / "working"));

    std::string whyNot;
    auto fileSystem = SmallFileSystem::mount(64 << 20, whyNot);
    if (!fileSystem) GTEST_SKIP() << whyNot;
    // 64 MiB of zeros where 48 MiB may be written: all is refused, the bundle that would fit included.
    fs::create_directories(work_ / "tree");
    ASSERT_EQ(run({"python3", "-c", "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                                    "    z.writestr('Big.app/Contents/Resources/zeros', bytes(64 << 20))\n    z.writestr('Small.app/Contents/Info.plist', b'<plist/>')\n",
                  (work_ / "tree/Inner.zip").string()}),
        0);
    auto working = fileSystem->path() / "working";
    result = extract(work_ / "tree/Inner.zip", working);
    ASSERT_TRUE(zip::InsufficientSpaceError::is(result->error()));
    EXPECT_TRUE(result->error()->description().starts_with("The archive is too large for the free space")) << result->error()->description();
    EXPECT_TRUE(fs::is_empty(fileSystem->path()));

    // Nested, it is checked against the space left when reached; the rest is extracted.
    makeBundle(work_ / "tree/Fine.app");
    ASSERT_EQ(run({"zip", "-qry", (work_ / "Outer.zip").string(), "Inner.zip", "Fine.app"}, work_ / "tree"), 0);
    EXPECT_EQ(describeItems(extracted(work_ / "Outer.zip", working)), std::vector<std::string> {"Fine.app in zip(Outer.zip) < directory"});
    EXPECT_TRUE(fs::exists(working / "Inner.zip"));
    EXPECT_FALSE(fs::exists(working / "Big.app") || fs::exists(working / "Small.app"));
}

} // namespace
