#include <gtest/gtest.h>

#include <cstring>

#include "log/console_line.h"

namespace {

std::tm TimeOfDay(int hour, int minute, int second)
{
    std::tm utc{};
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    return utc;
}

TEST(ConsoleLine, ColourLineShowsTimeInLevelColourAndModuleInCyan)
{
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(7, 5, 9), "core", 25, true, "started"),
              "\x1b[32m07:05:09\x1b[36m core  \x1b[0m started\n");
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(0, 0, 0), "core", 0, true, "a"),
              "\x1b[35m00:00:00\x1b[36m core  \x1b[0m a\n");
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(0, 0, 0), "core", 74, true, "a").substr(0, 5), "\x1b[33m");
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(0, 0, 0), "core", 75, true, "a").substr(0, 5), "\x1b[31m");
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(0, 0, 0), "core", 100, true, "a").substr(0, 5), "\x1b[31m");
}

TEST(ConsoleLine, ModuleNameIsPaddedOrCutToSixCharacters)
{
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(23, 59, 58), "?", 50, false, "x"), "23:59:58 ?      x\n");
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(23, 59, 58), "recorder", 50, false, "x"), "23:59:58 record x\n");
}

TEST(ConsoleLine, LevelsOutsideTheScaleArePrintedPlain)
{
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(1, 2, 3), "core", 101, true, "x"), "01:02:03 core   x\n");
    EXPECT_EQ(dvr::FormatConsoleLine(TimeOfDay(1, 2, 3), "core", static_cast<uint32_t>(-5), true, "x"),
              "01:02:03 core   x\n");
}

TEST(LogMessageText, StaysWithinTheSendersBuffer)
{
    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(dvr::LogMessageText(unterminated, sizeof unterminated), "abcd");
    EXPECT_EQ(dvr::LogMessageText("abc\0def", 8), "abc");
    EXPECT_EQ(dvr::LogMessageText(nullptr, 10), "");
    std::string longText(600, 'x');
    EXPECT_EQ(dvr::LogMessageText(longText.data(), longText.size()).size(), dvr::LOG_TEXT_MAX);
}

} // namespace
