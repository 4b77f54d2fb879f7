#include "platform/log/LogCapture.hpp"
#include "platform/log/Logger.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace tavik::log;

TEST(LoggerTest, EachLevelIsRecordedWithItsSubsystemCategoryAndFormattedMessage)
{
    LogCapture capture;
    Logger logger("app.tavik.Tavik", "File Handler");
    logger.defaultLevel("Found {} file(s) in {}", 3, "/tmp/x");
    logger.info("info {}", 1);
    logger.debug("debug");
    logger.error("error {}", "e");
    logger.fault("fault");

    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].subsystem, "app.tavik.Tavik");
    EXPECT_EQ(entries[0].category, "File Handler");
    EXPECT_EQ(entries[0].level, Level::defaultLevel);
    EXPECT_EQ(entries[0].message, "Found 3 file(s) in /tmp/x");
    EXPECT_EQ(entries[1].level, Level::info);
    EXPECT_EQ(entries[2].level, Level::debug);
    EXPECT_EQ(entries[3].level, Level::error);
    EXPECT_EQ(entries[3].message, "error e");
    EXPECT_EQ(entries[4].level, Level::fault);
    EXPECT_TRUE(capture.contains(Level::info, "info 1"));
    EXPECT_FALSE(capture.contains(Level::error, "info 1"));
}

TEST(LoggerTest, CaptureSeesOnlyWhatIsWrittenWhileItExistsAndFiltersByCategory)
{
    Logger a("s", "A");
    Logger b("s", "B");
    a.info("before");
    LogCapture capture;
    a.info("one");
    b.info("two");
    a.info("one");
    EXPECT_EQ(capture.count("before"), 0u);
    EXPECT_EQ(capture.count("one"), 2u);
    ASSERT_EQ(capture.entries("B").size(), 1u);
    EXPECT_EQ(capture.entries("B")[0].message, "two");
}

TEST(LoggerTest, WritingFromManyThreadsLosesNoEntry)
{
    LogCapture capture;
    Logger logger("s", "Threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                logger.debug("entry");
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.count("entry"), 800u);
}
