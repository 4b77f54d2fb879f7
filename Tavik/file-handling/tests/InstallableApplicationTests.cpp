#include "Tavik/file-handling/InstallableApplication.hpp"

#include <gtest/gtest.h>

using namespace tavik;
using Source = InstallableApplication::Source;

TEST(InstallableApplicationTest, RootFollowsTheChainToTheDirectory)
{
    auto downloads = URL::fileURL("/home/me/Downloads", true);
    auto directory = Source::directory(downloads, FileSource::statusBarIcon);
    auto zip = Source::zip(URL::fileURL("/home/me/Downloads/Bundle.zip", false), directory);
    auto dmg = Source::dmg(URL::fileURL("/tmp/x/Inner.dmg", false), URL::fileURL("/tmp/mounts/1", true), zip);

    for (const Source* source : {&directory, &zip, &dmg}) {
        auto root = source->root();
        EXPECT_EQ(root.url, downloads);
        EXPECT_EQ(root.configurationSource, FileSource::statusBarIcon);
    }
    ASSERT_TRUE(std::holds_alternative<Source::DMG>(dmg.value));
    const auto& parent = *std::get<Source::DMG>(dmg.value).parent;
    EXPECT_EQ(std::get<Source::ZIP>(parent.value).url.lastPathComponent(), "Bundle.zip");

    InstallableApplication app {URL::fileURL("/tmp/mounts/1/Example.app", true), dmg, InstallableApplication::Kind::application};
    EXPECT_EQ(app.source.root().url, downloads);
    EXPECT_EQ(app.kind, InstallableApplication::Kind::application);
}
