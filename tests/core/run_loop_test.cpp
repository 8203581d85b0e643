// The real executable started without a parent link, stopped by signals.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "support/child_process.h"

using dvr::test::ChildProcess;
using dvr::test::TemporaryDirectory;
using namespace std::chrono_literals;

namespace {

class RunLoop : public ::testing::TestWithParam<int> {};

TEST_P(RunLoop, SignalStopsTheCoreInOrder)
{
    TemporaryDirectory work;
    ChildProcess core({DVRCORE_BINARY}, {.workingDirectory = work.Path(), .terminal = true, .inheritedFds = {}});
    ASSERT_TRUE(core.WaitForOutput("successfully started core version 22.06.4.0", 20s)) << core.Output();
    core.Signal(GetParam());
    EXPECT_EQ(core.Wait(20s), 0) << core.Output() << core.Errors();
    EXPECT_NE(core.Output().find("stopping core version 22.06.4.0..."), std::string::npos) << core.Output();
    EXPECT_LT(core.Output().find("successfully started"), core.Output().find("stopping core"));
}

INSTANTIATE_TEST_SUITE_P(EachStopSignal, RunLoop, ::testing::Values(SIGTERM, SIGINT, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(strsignal(info.param)).substr(0, 4);
                         });

TEST(RunLoopSignals, LaterSignalsDuringShutdownDoNotKillTheCore)
{
    TemporaryDirectory work;
    ChildProcess core({DVRCORE_BINARY}, {.workingDirectory = work.Path(), .terminal = true, .inheritedFds = {}});
    ASSERT_TRUE(core.WaitForOutput("successfully started", 20s)) << core.Output();
    core.Signal(SIGINT);
    for (int i = 0; i < 20; ++i) {
        core.Signal(SIGINT);
        core.Signal(SIGTERM);
    }
    EXPECT_EQ(core.Wait(20s), 0) << core.Output() << core.Errors();
    EXPECT_NE(core.Output().find("stopping core version"), std::string::npos);
}

TEST(RunLoopSignals, ConsoleIsSilentWhenStandardOutputIsNotATerminal)
{
    TemporaryDirectory work;
    ChildProcess core({DVRCORE_BINARY}, {.workingDirectory = work.Path(), .terminal = false, .inheritedFds = {}});
    // With nothing printed, the core's start cannot be seen: wait for core.xml, written just before the start line.
    for (int i = 0; i < 200 && !std::filesystem::exists(work / "core.xml"); ++i)
        std::this_thread::sleep_for(50ms);
    core.Signal(SIGTERM);
    EXPECT_EQ(core.Wait(20s), 0);
    EXPECT_EQ(core.Output(), "");
}

} // namespace
