#include "platform/testing/Bundles.hpp"
#include "platform/testing/Eventually.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/Programs.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace tavik::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(ScratchFolderTest, RemovesWhatItHoldsEvenReadOnlyFoldersButNotALinksTarget)
{
    ScratchFolder outside("tavik-outside");
    writeFile(outside / "kept", "kept");
    fs::path path;
    {
        ScratchFolder folder;
        path = folder.path();
        EXPECT_EQ(path, fs::canonical(path));
        folder.write("locked/inner/file", "data");
        fs::permissions(folder / "locked/inner", fs::perms(0500));
        fs::permissions(folder / "locked", fs::perms(0500));
        fs::create_directory_symlink(outside.path(), folder / "link");
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(readFile(outside / "kept"), "kept");
}

TEST(EventuallyTest, SaysWhetherTheConditionCameToHoldInTime)
{
    int polls = 0;
    EXPECT_TRUE(eventually([&] { return ++polls == 3; }));
    EXPECT_EQ(polls, 3);
    EXPECT_FALSE(eventually([] { return false; }, 30ms));
}

TEST(ScopedEnvironmentTest, PutsEveryVariableBackAsItWas)
{
    ::setenv("TAVIK_SET_BEFORE", "before", 1);
    ::unsetenv("TAVIK_UNSET_BEFORE");
    {
        ScopedEnvironment environment;
        environment.set("TAVIK_SET_BEFORE", "first").set("TAVIK_SET_BEFORE", "second").set("TAVIK_UNSET_BEFORE", "x");
        environment.prependToPath("/nowhere");
        EXPECT_STREQ(std::getenv("TAVIK_SET_BEFORE"), "second");
        EXPECT_TRUE(std::string(std::getenv("PATH")).starts_with("/nowhere:"));
    }
    EXPECT_STREQ(std::getenv("TAVIK_SET_BEFORE"), "before");
    EXPECT_EQ(std::getenv("TAVIK_UNSET_BEFORE"), nullptr);
    EXPECT_FALSE(std::string(std::getenv("PATH")).starts_with("/nowhere:"));
    ::unsetenv("TAVIK_SET_BEFORE");
}

TEST(BundleTest, TheBundlesProgramRunsAndItsInfoNamesIt)
{
    ScratchFolder folder;
    auto bundle = makeBundle(folder / "Example.app", {.version = "1.2", .script = "#!/bin/sh\nexit 7\n"});
    EXPECT_EQ(run({(bundle / "Contents/MacOS/Example").string()}), 7);
    auto info = readFile(bundle / "Contents/Info.plist");
    EXPECT_NE(info.find("<key>CFBundleExecutable</key><string>Example</string>"), std::string::npos);
    EXPECT_NE(info.find("<key>CFBundleShortVersionString</key><string>1.2</string>"), std::string::npos);
}

} // namespace
} // namespace tavik::testing
