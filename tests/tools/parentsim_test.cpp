// parentsim prints what the core sends it whole, so a status reply about many cameras can be read.
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <csignal>

using dvr::test::ChildProcess;
using namespace std::chrono_literals;

TEST(Parentsim, PrintsAReplyWhole)
{
    ChildProcess parentsim({PARENTSIM, "--no-parameters", LONG_REPLY_CORE}, {});
    std::string reply = "recorder:";
    for (int camera = 0; camera < 16; ++camera)
        reply += " camera" + std::string(camera < 10 ? "0" : "") + std::to_string(camera) + ": 250 video frames;";
    reply += " end";
    const std::string line =
        "parentsim: packet of " + std::to_string(reply.size()) + " bytes from the core: " + reply + "\n";
    EXPECT_TRUE(parentsim.WaitForOutput(line, 10s)) << parentsim.Output() << parentsim.Errors();
    EXPECT_EQ(parentsim.Stop(SIGTERM, 10s), 0) << parentsim.Errors(); // the stand-in ends at the stop packet
}
