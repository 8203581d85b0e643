#include <gtest/gtest.h>

#include <locale>
#include <stdexcept>

#include "log/number_format.h"

namespace {

bool LocaleExists(const char* name)
{
    try {
        std::locale locale(name);
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

TEST(FormatGroupedNumber, GroupsThousandsWithCommasInTheUsLocale)
{
    if (!LocaleExists("en_US.UTF-8"))
        GTEST_SKIP() << "the en_US.UTF-8 locale is not installed on this machine (scripts/install-deps.sh makes it)";
    EXPECT_EQ(dvr::FormatGroupedNumber(1234567ul), "1,234,567");
    EXPECT_EQ(dvr::FormatGroupedNumber(999ul), "999");
    EXPECT_EQ(dvr::FormatGroupedNumber(-12345l), "-12,345");
}

TEST(FormatGroupedNumber, MissingLocaleGivesBareDigits)
{
    EXPECT_EQ(dvr::FormatGroupedNumber(1234567ul, "xx_NOWHERE.UTF-8"), "1234567");
    EXPECT_EQ(dvr::FormatGroupedNumber(0ul, "xx_NOWHERE.UTF-8"), "0");
}

} // namespace
