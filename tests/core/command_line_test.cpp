#include <gtest/gtest.h>

#include "core/command_line.h"

namespace {

dvr::CommandLine Parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "dvrcore");
    return dvr::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, FirstNonOptionArgumentIsTheDescriptor)
{
    EXPECT_EQ(Parse({"-x", "7"}).descriptor, 7);
    EXPECT_EQ(Parse({"7", "9"}).descriptor, 7);
    EXPECT_EQ(Parse({"abc"}).descriptor, 0);
    EXPECT_EQ(Parse({"-1"}).descriptor, -1); // an option, not a number
}

TEST(CommandLine, WithoutDescriptorThereIsNoParentLink)
{
    EXPECT_EQ(Parse({}).descriptor, -1);
    EXPECT_EQ(Parse({"-v", "--verbose"}).descriptor, -1);
    EXPECT_FALSE(Parse({"-v"}).showUsage);
}

TEST(CommandLine, HelpCountsOnlyBeforeTheDescriptor)
{
    EXPECT_TRUE(Parse({"-h"}).showUsage);
    EXPECT_TRUE(Parse({"-help"}).showUsage);
    EXPECT_TRUE(Parse({"-x", "-h", "5"}).showUsage);
    auto afterDescriptor = Parse({"7", "-h"});
    EXPECT_FALSE(afterDescriptor.showUsage);
    EXPECT_EQ(afterDescriptor.descriptor, 7);
}

} // namespace
