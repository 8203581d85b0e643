// dvrcore-inspect gives a Load that never returns the time-out it was told, then kills it: a real
// wait, hence among the slow tests.
#include <gtest/gtest.h>

#include "plugins/plugin_test_support.h"
#include "tools/verdict_test_support.h"

namespace {

TEST(InspectorTimeOut, LoadThatNeverReturnsIsKilledAndReported)
{
    dvr::test::TemporaryDirectory dir;
    dvr::test::OpenToOtherUsers(dir);
    dvr::test::InstallProbe(dir.Path(), "plugins", "hangs", "id 0x00110000\nloadlog 25\nloadhang 1\n");

    dvr::test::InspectorRun run = dvr::test::RunInspector({"--timeout", "0.5", dir / "plugins/hangs.so"});

    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("verdict: failed: Load did not return within 0.5 s"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("during Load: log level 25: hangs: refusing, as configured"), std::string::npos)
        << run.output;
}

} // namespace
