#include "platform/strings/LocalizedString.hpp"
#include "platform/strings/StringTable.hpp"
#include "platform/testing/Catalogue.hpp"
#include "platform/testing/ScopedEnvironment.hpp"
#include "platform/testing/ScratchFolder.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <set>

using namespace tavik::strings;
using namespace tavik::testing;

// The table's keys are unique and have English text, which is looked up in
// a real catalogue compiled with msgfmt.
TEST(LocalizedStringTest, TranslationComesFromTheCatalogueAndEnglishOtherwise)
{
    std::set<std::string_view> keys;
    for (const auto& entry : stringTable()) {
        EXPECT_TRUE(keys.insert(entry.key).second) << "duplicate key " << entry.key;
        EXPECT_FALSE(entry.english.empty()) << entry.key;
    }
    EXPECT_FALSE(englishText("no_such_key"));

    ScratchFolder folder("tavik-locale");
    if (!writeCatalogue(folder.path(), "de", {{"Move to Trash", "In den Papierkorb legen"}}))
        GTEST_SKIP() << "msgfmt is not installed";

    // Before any translation is bound, an unknown key is its own text.
    EXPECT_EQ(localizedString("no_such_key"), "no_such_key");
    ScopedEnvironment environment;
    environment.set("TAVIK_LOCALEDIR", folder.path()).set("LANGUAGE", "de");
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(localizedString("move_to_trash_applications_handle_action"), "In den Papierkorb legen");

    environment.set("LANGUAGE", "fr");
    std::setlocale(LC_ALL, "C"); // setting the locale again makes gettext forget what it looked up
    std::setlocale(LC_ALL, "C.UTF-8");
    EXPECT_EQ(localizedString("move_to_trash_applications_handle_action"), "Move to Trash");
    std::setlocale(LC_ALL, "C");
}
