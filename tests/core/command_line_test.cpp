#include <gtest/gtest.h>

#include "core/command_line.h"

namespace {

dvr::CommandLine Parse(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "dvrcore");
    return dvr::ParseCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, FirstArgumentIsTheDescriptorAndLaterOnesAreIgnored)
{
    EXPECT_EQ(Parse({"7", "9"}).descriptor, 7);
    EXPECT_EQ(Parse({"abc"}).descriptor, 0);
    auto afterDescriptor = Parse({"7", "-h", "--help"});
    EXPECT_FALSE(afterDescriptor.showUsage);
    EXPECT_EQ(afterDescriptor.descriptor, 7);
}

TEST(CommandLine, WithoutArgumentsThereIsNoParentLink)
{
    auto none = Parse({});
    EXPECT_EQ(none.descriptor, -1);
    EXPECT_FALSE(none.showUsage);
}

// -h and every option the core does not know ask for the usage instead of starting the core.
TEST(CommandLine, AnyOptionBeforeTheDescriptorAsksForTheUsage)
{
    for (const char* option : {"-h", "-help", "--help", "-v", "--verbose", "-x", "-1", "-", "--"}) {
        auto parsed = Parse({option, "5"});
        EXPECT_TRUE(parsed.showUsage) << option;
        EXPECT_EQ(parsed.descriptor, -1) << option;
    }
}

} // namespace
