// The built executable as its supervisor and a person at a terminal see it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/child_process.h"
#include "support/core_installation.h"

using dvr::test::RunToEnd;
using namespace std::chrono_literals;

namespace {

TEST(Process, HelpPrintsVersionAndUsageOnStandardError)
{
    std::string output;
    std::string errors;
    EXPECT_EQ(RunToEnd({DVRCORE_BINARY, "-h"}, &output, &errors), 0);
    EXPECT_EQ(errors, std::string("core version 22.06.4.0\nUsage: ") + DVRCORE_BINARY + " <pipe>\n");
    EXPECT_EQ(output, "");
}

// --help and options the core does not know answer as -h does, in a folder with a plugin beside
// the core: nothing is loaded and nothing is written into the working folder.
TEST(Process, UnknownOptionsPrintTheUsageAndNeverStartTheCore)
{
    for (const char* option : {"--help", "--version", "-v"}) {
        dvr::test::CoreInstallation installation;
        installation.AddPlugin(dvr::test::BuiltPlugin("LogPI.so"));
        auto core = installation.Start({option});
        EXPECT_EQ(core->Wait(20s), 0) << option << ": " << core->Output();
        EXPECT_EQ(core->Errors(), "core version 22.06.4.0\nUsage: " + installation.Binary() + " <pipe>\n") << option;
        EXPECT_EQ(core->Output(), "") << option;
        EXPECT_FALSE(std::filesystem::exists(installation / "core.xml")) << option;
        EXPECT_FALSE(std::filesystem::exists(installation / "dvrcore.log")) << option;
    }
}

TEST(Process, DescriptorThatIsNotOpenFailsInitialisation)
{
    std::string errors;
    EXPECT_EQ(RunToEnd({DVRCORE_BINARY, "57"}, nullptr, &errors), 2);
    EXPECT_EQ(errors, "failed to initialize core\n");
}

} // namespace
