// Replays the fuzz target's seed corpus (and any crash reproducers kept
// beside it) through the same entry function.
#include "zip/fuzz/FuzzZip.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

TEST(FuzzCorpus, EverySeedRunsCleanly)
{
    size_t replayed = 0;
    for (const auto& item : std::filesystem::directory_iterator(TAVIK_ZIP_CORPUS)) {
        std::ifstream in(item.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(item.path().filename().string());
        tavik::zip::fuzzOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++replayed;
    }
    EXPECT_GE(replayed, 10u);
}
