// Process tests that must wait in real time: the start-up wait for a silent parent, and the
// minute's pause after the parent link is lost. They carry the ctest label "slow".
#include <gtest/gtest.h>

#include <ctime>
#include <sstream>

#include "support/core_installation.h"

using namespace std::chrono_literals;

namespace {

// Seconds since midnight UTC of a log file line "YYYY-MM-DD HH:MM:SS.mmm ..." that contains text.
double LogTime(const std::string& log, const std::string& text)
{
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) == std::string::npos)
            continue;
        int hour = 0;
        int minute = 0;
        double second = 0;
        if (sscanf(line.c_str(), "%*d-%*d-%*d %d:%d:%lf", &hour, &minute, &second) == 3)
            return hour * 3600 + minute * 60 + second;
    }
    return -1;
}

TEST(SlowParentLink, SilentParentDelaysOpeningByTenSeconds)
{
    dvr::test::CoreInstallation install;
    dvr::test::ParentEnd parent;
    auto started = std::chrono::steady_clock::now();
    auto core = install.Start({std::to_string(parent.CoreDescriptor())}, {parent.CoreDescriptor()});
    parent.ReleaseCoreEnd();
    ASSERT_TRUE(core->WaitForOutput("successfully started", 30s)) << core->Output();
    EXPECT_GE(std::chrono::steady_clock::now() - started, 9s);
    EXPECT_EQ(core->Stop(SIGTERM, 20s), 0);
}

TEST(SlowParentLink, LostLinkPausesAMinuteBeforeClosingPlugins)
{
    dvr::test::CoreInstallation install;
    install.AddPlugin(DVRCORE_BUILD_DIR "/plugins/LogPI.so");
    dvr::test::ParentEnd parent;
    auto core = install.Start({std::to_string(parent.CoreDescriptor())}, {parent.CoreDescriptor()});
    parent.ReleaseCoreEnd();
    parent.SendParameters(std::string("ovrimd\0"
                                      "1.0",
                                      10));
    ASSERT_TRUE(core->WaitForOutput("successfully started", 20s)) << core->Output();
    parent.Close();
    EXPECT_TRUE(core->WaitForOutput("sleeping for one minute to allow active watchdogs to expire...", 10s))
        << core->Output();
    EXPECT_EQ(core->Wait(120s), 0) << core->Output();
    EXPECT_NE(core->Output().find("ovrimd ipc pipe disconnected"), std::string::npos);

    std::string log = dvr::test::ReadFile(install / "dvrcore.log");
    // The stop is requested right after this line; the core's lines logged once its queue worker has
    // ended reach only the console.
    double stopping = LogTime(log, "sleeping for one minute");
    double firstClose = LogTime(log, "calling close for ");
    ASSERT_GE(stopping, 0) << log;
    ASSERT_GE(firstClose, 0) << log;
    if (firstClose < stopping)
        firstClose += 24 * 3600; // past midnight
    EXPECT_GE(firstClose - stopping, 60.0) << log;
}

} // namespace
