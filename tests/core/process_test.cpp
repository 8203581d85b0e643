// The built executable as its supervisor and a person at a terminal see it.
#include <gtest/gtest.h>

#include "support/child_process.h"

using dvr::test::RunToEnd;

namespace {

TEST(Process, HelpPrintsVersionAndUsageOnStandardError)
{
    std::string output;
    std::string errors;
    EXPECT_EQ(RunToEnd({DVRCORE_BINARY, "-h"}, &output, &errors), 0);
    EXPECT_EQ(errors, std::string("core version 22.06.4.0\nUsage: ") + DVRCORE_BINARY + " <pipe>\n");
    EXPECT_EQ(output, "");
}

TEST(Process, DescriptorThatIsNotOpenFailsInitialisation)
{
    std::string errors;
    EXPECT_EQ(RunToEnd({DVRCORE_BINARY, "57"}, nullptr, &errors), 2);
    EXPECT_EQ(errors, "failed to initialize core\n");
}

} // namespace
