#include "platform/trash/Trash.hpp"
#include "platform/foundation/FileError.hpp"
#include "platform/testing/Files.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace tavik;
using namespace tavik::testing;
namespace fs = std::filesystem;

namespace {

// The desktop's trash lives under the data home, which GLib reads once per
// process: point it (and the home folder, whose file system decides which
// trash is used) at a private folder before anything asks.
const ScratchFolder home("tavik-trash-home");
[[maybe_unused]] const bool homeIsPrivate = setenv("HOME", home.path().c_str(), 1) == 0
    && setenv("XDG_DATA_HOME", (home / "data").c_str(), 1) == 0;
const fs::path trashFolder = home / "data/Trash";

// The info file the desktop restores from: the original path, percent-encoded
// (the scratch folder's own path needs no escapes), and when it was trashed.
void expectTrashInfo(const fs::path& trashed, const fs::path& encodedPath)
{
    auto info = readFile(trashFolder / "info" / (trashed.filename().string() + ".trashinfo"));
    EXPECT_TRUE(info.starts_with("[Trash Info]\n")) << info;
    EXPECT_NE(info.find("\nPath=" + encodedPath.string() + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("\nDeletionDate=2"), std::string::npos) << info;
}

class TrashTest : public ::testing::Test {
protected:
    fs::path trash(const fs::path& item)
    {
        auto trashed = trashItem(URL::fileURL(item));
        EXPECT_TRUE(trashed.ok() && trashed->has_value()) << (trashed.ok() ? "" : trashed.error()->description());
        return trashed.ok() && trashed->has_value() ? (*trashed)->path() : fs::path {};
    }
    ScratchFolder folder_ {"tavik-trash"};
};

} // namespace

TEST_F(TrashTest, AnItemOrALinkNotItsTargetLandsInTheTrashWithWhatRestoringNeedsApartFromOnesOfTheSameNameAndAMissingOneIsAFileError)
{
    auto original = folder_ / "My Notes ü.txt";
    writeFile(original, "keep me");
    auto where = trash(original);
    EXPECT_EQ(where.parent_path(), trashFolder / "files");
    EXPECT_FALSE(fs::exists(original));
    EXPECT_EQ(readFile(where), "keep me");
    expectTrashInfo(where, folder_ / "My%20Notes%20%C3%BC.txt");

    writeFile(folder_ / "target", "stays");
    fs::create_symlink(folder_ / "target", folder_ / "link");
    EXPECT_TRUE(fs::is_symlink(trash(folder_ / "link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder_ / "link")));
    EXPECT_EQ(readFile(folder_ / "target"), "stays");

    auto missing = trashItem(URL::fileURL(folder_ / "Missing.app", true));
    EXPECT_TRUE(isFileError(missing.error(), FileError::Code::fileNoSuchFile));
    EXPECT_EQ(dynamic_cast<const FileError&>(*missing.error()).path(), folder_ / "Missing.app");

    // Bundles with the same name are kept apart and intact.
    std::vector<fs::path> trashed;
    for (const std::string version : {"1", "2"}) {
        writeFile(folder_ / "Example.app/Contents/MacOS/Example", version);
        fs::create_symlink("MacOS/Example", folder_ / "Example.app/Contents/Current");
        trashed.push_back(trash(folder_ / "Example.app"));
    }
    EXPECT_NE(trashed[0], trashed[1]);
    for (size_t index = 0; index < trashed.size(); ++index) {
        EXPECT_TRUE(fs::is_symlink(trashed[index] / "Contents/Current"));
        EXPECT_EQ(readFile(trashed[index] / "Contents/Current"), std::to_string(index + 1));
        expectTrashInfo(trashed[index], folder_ / "Example.app");
    }
}
