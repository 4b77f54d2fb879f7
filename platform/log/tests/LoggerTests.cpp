#include "platform/log/LogCapture.hpp"
#include "platform/log/Logger.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace tavik::log;

TEST(LoggerTest, EachLevelIsRecordedWithItsSubsystemCategoryAndFormattedMessageFromAnyThread)
{
    Logger other("s", "Other");
    other.info("before");
    LogCapture capture;
    Logger logger("app.tavik.Tavik", "File Handler");
    logger.defaultLevel("Found {} file(s) in {}", 3, "/tmp/x");
    logger.info("info {}", 1);
    logger.debug("debug");
    logger.error("error {}", "e");
    logger.fault("fault");
    other.info("other");

    auto entries = capture.entries("File Handler");
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].subsystem, "app.tavik.Tavik");
    EXPECT_EQ(entries[0].message, "Found 3 file(s) in /tmp/x");
    EXPECT_EQ(entries[3].message, "error e");
    const Level levels[] = {Level::defaultLevel, Level::info, Level::debug, Level::error, Level::fault};
    for (size_t index = 0; index < entries.size(); ++index)
        EXPECT_EQ(entries[index].level, levels[index]) << index;
    EXPECT_TRUE(capture.contains(Level::info, "info 1"));
    EXPECT_FALSE(capture.contains(Level::error, "info 1"));
    EXPECT_EQ(capture.count("before"), 0u) << "only what is written while the capture exists";
    EXPECT_EQ(capture.entries().size(), 6u);

    // Writing from many threads loses no entry.
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                other.debug("entry");
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.count("entry"), 800u);
}
