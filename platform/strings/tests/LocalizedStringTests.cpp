#include "platform/strings/LocalizedString.hpp"
#include "platform/strings/StringTable.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

using namespace tavik::strings;
namespace fs = std::filesystem;

TEST(StringTableTest, KeysAreUniqueAndHaveEnglishText)
{
    std::set<std::string_view> keys;
    for (const auto& entry : stringTable()) {
        EXPECT_TRUE(keys.insert(entry.key).second) << "duplicate key " << entry.key;
        EXPECT_FALSE(entry.english.empty()) << entry.key;
    }
    EXPECT_EQ(englishText("move_to_trash_applications_handle_action"), "Move to Trash");
    EXPECT_FALSE(englishText("no_such_key"));
}

// Looks the English text up in a real catalogue compiled with msgfmt.
TEST(LocalizedStringTest, TranslationComesFromTheCatalogueAndEnglishOtherwise)
{
    std::string pattern = (fs::temp_directory_path() / "tavik-locale-XXXXXX").string();
    fs::path folder(mkdtemp(pattern.data()));
    fs::create_directories(folder / "de" / "LC_MESSAGES");
    {
        std::ofstream po(folder / "tavik.po");
        po << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
           << "msgid \"Move to Trash\"\nmsgstr \"In den Papierkorb legen\"\n";
    }
    auto command = "msgfmt -o '" + (folder / "de" / "LC_MESSAGES" / "tavik.mo").string() + "' '" + (folder / "tavik.po").string() + "'";
    if (std::system(command.c_str()) != 0) {
        fs::remove_all(folder);
        GTEST_SKIP() << "msgfmt is not installed";
    }

    // Before any translation is bound, an unknown key is its own text.
    EXPECT_EQ(localizedString("no_such_key"), "no_such_key");

    ::setenv("TAVIK_LOCALEDIR", folder.c_str(), 1);
    ::setenv("LANGUAGE", "de", 1);
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(localizedString("move_to_trash_applications_handle_action"), "In den Papierkorb legen");

    ::setenv("LANGUAGE", "fr", 1);
    std::setlocale(LC_ALL, "C"); // setting the locale again makes gettext forget what it looked up
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(localizedString("move_to_trash_applications_handle_action"), "Move to Trash");

    ::unsetenv("LANGUAGE");
    std::setlocale(LC_ALL, "C");
    fs::remove_all(folder);
}
