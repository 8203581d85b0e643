// The real core with plugins whose Close never returns: each costs the 10 s wait, and the core
// still stops in order and ends with its usual status. Slow: the wait passes in real time.
#include <gtest/gtest.h>

#include <csignal>

#include "support/core_installation.h"

using namespace std::chrono_literals;

namespace {

TEST(SlowShutdown, CloseThatNeverReturnsDoesNotHoldTheCoreOrItsExit)
{
    dvr::test::CoreInstallation install;
    install.AddPlugin(dvr::test::BuiltPlugin("LogPI.so"));
    // Close sleeps an hour: in the first-unload plugin and in an ordinary one.
    for (auto [stem, id] : {std::pair{"first", "0x00080000"}, std::pair{"stuck", "0x00280000"}}) {
        install.AddPlugin(dvr::test::BuiltPlugin("plugin_fault.so"), "plugins", std::string(stem) + ".so");
        dvr::test::WriteFile(install / (std::string(stem) + ".conf"), std::string("id ") + id + "\nclosems 3600000\n");
    }
    auto core = install.Start();
    ASSERT_TRUE(core->WaitForOutput("successfully started core version", 60s)) << core->Output();
    core->Signal(SIGTERM);
    EXPECT_EQ(core->Wait(90s), 0) << core->Output() << core->Errors();
    for (const char* stem : {"first", "stuck"})
        EXPECT_NE(core->Output().find(std::string("plugin ") + stem +
                                      ".so: Close still running after 10 s; left loaded without Unload"),
                  std::string::npos)
            << core->Output();
    std::string log = dvr::test::ReadFile(install / "dvrcore.log");
    EXPECT_NE(log.find("unloading object LogPI.so"), std::string::npos) << log;
    EXPECT_NE(log.find("Plugins unloaded"), std::string::npos) << log;
}

} // namespace
