#include "platform/trash/Trash.hpp"
#include "platform/foundation/FileError.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

using namespace tavik;
namespace fs = std::filesystem;

namespace {

fs::path makeTemporaryFolder(const char* name)
{
    std::string pattern = (fs::temp_directory_path() / name).string() + "-XXXXXX";
    return fs::path(mkdtemp(pattern.data()));
}

// The desktop's trash lives under the data home, which GLib reads once per
// process: point it (and the home folder, whose file system decides which
// trash is used) at a private folder before anything asks.
class PrivateTrashEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        home_ = makeTemporaryFolder("tavik-trash-home");
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(home_); }

private:
    fs::path home_;
};

const auto* const environment = testing::AddGlobalTestEnvironment(new PrivateTrashEnvironment);

fs::path trashFolder() { return fs::path(std::getenv("XDG_DATA_HOME")) / "Trash"; }

std::string percentDecoded(const std::string& text)
{
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::map<std::string, std::string> trashInfo(const fs::path& trashed)
{
    std::ifstream stream(trashFolder() / "info" / (trashed.filename().string() + ".trashinfo"));
    std::map<std::string, std::string> values;
    std::string line;
    while (std::getline(stream, line)) {
        auto equals = line.find('=');
        if (equals != std::string::npos)
            values[line.substr(0, equals)] = line.substr(equals + 1);
        else
            values[line] = "";
    }
    return values;
}

std::string contents(const fs::path& path)
{
    std::ifstream stream(path);
    std::stringstream buffer;
    buffer << stream.rdbuf();
    return buffer.str();
}

class TrashTest : public testing::Test {
protected:
    void SetUp() override { folder_ = makeTemporaryFolder("tavik-trash"); }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

} // namespace

TEST_F(TrashTest, ItemLandsInTheTrashWithWhatRestoringNeeds)
{
    auto original = folder_ / "My Notes ü.txt";
    std::ofstream(original) << "keep me";

    auto trashed = trashItem(URL::fileURL(original));
    ASSERT_TRUE(trashed.ok()) << trashed.error()->description();
    ASSERT_TRUE(trashed->has_value());
    auto where = (*trashed)->path();
    EXPECT_EQ(where.parent_path(), trashFolder() / "files");
    EXPECT_FALSE(fs::exists(original));
    EXPECT_EQ(contents(where), "keep me");

    auto info = trashInfo(where);
    EXPECT_TRUE(info.count("[Trash Info]"));
    EXPECT_EQ(percentDecoded(info["Path"]), original.string());
    EXPECT_FALSE(info["DeletionDate"].empty());
}

TEST_F(TrashTest, BundlesWithTheSameNameAreKeptApartAndIntact)
{
    auto makeBundle = [&](const std::string& version) {
        auto bundle = folder_ / "Example.app";
        fs::create_directories(bundle / "Contents/MacOS");
        std::ofstream(bundle / "Contents/MacOS/Example") << version;
        fs::create_symlink("MacOS/Example", bundle / "Contents/Current");
        return bundle;
    };

    auto first = trashItem(URL::fileURL(makeBundle("1")));
    auto second = trashItem(URL::fileURL(makeBundle("2")));
    ASSERT_TRUE(first.ok() && second.ok());
    ASSERT_TRUE(first->has_value() && second->has_value());
    auto firstPath = (*first)->path();
    auto secondPath = (*second)->path();
    EXPECT_NE(firstPath, secondPath);
    EXPECT_TRUE((*second)->hasDirectoryPath());
    EXPECT_EQ(contents(firstPath / "Contents/Current"), "1");
    EXPECT_EQ(contents(secondPath / "Contents/Current"), "2");
    EXPECT_TRUE(fs::is_symlink(secondPath / "Contents/Current"));
    EXPECT_EQ(percentDecoded(trashInfo(secondPath)["Path"]), (folder_ / "Example.app").string());
}

TEST_F(TrashTest, LinkIsTrashedNotItsTarget)
{
    std::ofstream(folder_ / "target") << "stays";
    fs::create_symlink(folder_ / "target", folder_ / "link");

    auto trashed = trashItem(URL::fileURL(folder_ / "link", false));
    ASSERT_TRUE(trashed.ok());
    ASSERT_TRUE(trashed->has_value());
    EXPECT_TRUE(fs::is_symlink((*trashed)->path()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder_ / "link")));
    EXPECT_EQ(contents(folder_ / "target"), "stays");
}

TEST_F(TrashTest, MissingItemIsAFileError)
{
    auto trashed = trashItem(URL::fileURL(folder_ / "Missing.app", true));
    ASSERT_FALSE(trashed.ok());
    EXPECT_TRUE(isFileError(trashed.error(), FileError::Code::fileNoSuchFile));
    auto* fileError = dynamic_cast<const FileError*>(trashed.error().get());
    ASSERT_NE(fileError, nullptr);
    EXPECT_EQ(fileError->path(), folder_ / "Missing.app");
}
