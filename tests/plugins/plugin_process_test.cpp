// The real executable with real plugin files beside it, as it starts, runs until SIGTERM and
// takes its plugins down again. The probes' call record and the log plugin's file tell the story.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <thread>

#include "plugin_test_support.h"

namespace {

using dvr::test::ChildProcess;
using dvr::test::Contains;
using dvr::test::InstallPlugin;
using dvr::test::InstallProbe;
using dvr::test::LinesStartingWith;
using dvr::test::Position;
using dvr::test::ProbeCalls;
using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

// Generous: the suite also runs under a sanitizer.
constexpr auto PROCESS_TIMEOUT = 60s;

class PluginProcess : public ::testing::Test {
protected:
    PluginProcess()
    {
        InstallPlugin(dir.Path(), ".", "dvrcore", DVRCORE_BINARY);
        std::filesystem::create_directories(dir / "plugins");
        std::filesystem::create_directories(dir / "protected-plugins");
    }

    // Starts the core in its folder, waits until it runs, stops it with SIGTERM and returns its
    // console output; the exit status must be 0.
    std::string RunUntilStarted()
    {
        ChildProcess core({dir / "dvrcore"}, {.workingDirectory = dir.Path(), .terminal = true, .inheritedFds = {}});
        EXPECT_TRUE(core.WaitForOutput("successfully started core version", PROCESS_TIMEOUT)) << core.Output();
        EXPECT_EQ(core.Stop(SIGTERM, PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();
        return core.Output();
    }

    // The texts of the log plugin's lines written by the core at level 100.
    Strings CoreFailureLogLines() const
    {
        Strings texts;
        std::regex format(R"(\S+ \S+ 0x80000000 100 (.*))");
        for (const std::string& line : dvr::test::SplitLines(dvr::test::ReadFile(dir / "dvrcore.log"))) {
            std::smatch parts;
            if (std::regex_match(line, parts, format))
                texts.push_back(parts[1]);
        }
        return texts;
    }

    dvr::test::TemporaryDirectory dir;
};

TEST_F(PluginProcess, RolesThreadsAndCloseOrderFromStartToShutdown)
{
    InstallPlugin(dir.Path(), "plugins", "LogPI.so", dvr::test::LogPlugin());
    InstallProbe(dir.Path(), "plugins", "b", "id 0x00110000\nworker 1\n");
    InstallProbe(dir.Path(), "plugins", "c", "id 0x00120000\nmask5 0xFFFFFFFF\nreads 1\n");
    // Open fails, yet it stays: it gets the core's log lines and is closed like the others.
    InstallProbe(dir.Path(), "plugins", "a", "id 0x00130000\nopen 7\nmask6 0x02000002\nwrites 1\n");
    InstallProbe(dir.Path(), "protected-plugins", "first", "id 0x00080000\nworker 1\n");
    InstallProbe(dir.Path(), "protected-plugins", "front", "id 0x00060000\n");
    InstallProbe(dir.Path(), "protected-plugins", "keep", "id 0x00470000\n");

    RunUntilStarted();

    Strings calls = ProbeCalls(dir.Path());
    Strings opens;
    for (const std::string& line : calls)
        if (line.ends_with(" Open 0"))
            opens.push_back(line);
    EXPECT_EQ(opens, (Strings{"front Open 0", "a Open 0", "b Open 0", "c Open 0", "first Open 0", "keep Open 0"}));
    // The core's lines from before the start line (a stop may refuse the start line itself).
    EXPECT_FALSE(LinesStartingWith(calls, "a Write 0x80000000 0x40 0x01000002 ").empty());
    EXPECT_TRUE(Contains(calls, "a Close"));

    // The first-unload role goes completely before any other plugin is closed.
    EXPECT_LT(Position(calls, "first Worker end"), Position(calls, "first Unload"));
    for (const char* other : {"a Close", "b Close", "c Close", "front Close", "keep Close"})
        EXPECT_LT(Position(calls, "first Unload"), Position(calls, other)) << other;
    EXPECT_LT(Position(calls, "b Worker end"), Position(calls, "b Unload"));
    EXPECT_LT(Position(calls, "c Read end"), Position(calls, "c Unload"));

    EXPECT_EQ(CoreFailureLogLines(), (Strings{"calling close for c.so",      "calling close for LogPI.so",
                                              "calling close for a.so",      "calling close for b.so",
                                              "calling close for front.so",  "calling close for keep.so",
                                              "joining readthread for c.so", "calling Unload for c.so",
                                              "unloading object c.so",       "calling Unload for LogPI.so",
                                              "unloading object LogPI.so",   "calling Unload for a.so",
                                              "unloading object a.so",       "joining workerthread for b.so",
                                              "calling Unload for b.so",     "unloading object b.so",
                                              "calling Unload for front.so", "unloading object front.so",
                                              "calling Unload for keep.so",  "Plugins unloaded"}));
}

TEST_F(PluginProcess, LoadOrderAndEveryRefusalAreReportedAndTheCoreRunsOn)
{
    dvr::test::WriteFile(dir / "core.xml",
                         R"(<oDVR><Modules><Module><Plugin ID="-2147483648" LogLevel="0"/></Module></Modules></oDVR>)");
    dvr::test::WriteFile(dir / "plugins/broken.so", "not an object");
    InstallPlugin(dir.Path(), "plugins", "noload.so", dvr::test::NoLoadPlugin());
    InstallProbe(dir.Path(), "plugins", "fails", "id 0x00140000\nload 5\n");
    InstallProbe(dir.Path(), "plugins", "errs", "id 0x00150000\nloaderror 5\n");
    InstallProbe(dir.Path(), "plugins", "corelike", "id 0x80000000\n");
    InstallProbe(dir.Path(), "plugins", "wide", "id 0x01230000\n");
    InstallProbe(dir.Path(), "plugins", "a", "id 0x00110000\n");
    InstallPlugin(dir.Path(), "protected-plugins", "a.so"); // reads a.conf too: the same ID
    InstallProbe(dir.Path(), "protected-plugins", "dADIduX", "id 0x00130000\n");

    std::string console = RunUntilStarted();

    Strings loads;
    for (const std::string& line : ProbeCalls(dir.Path()))
        if (line.find(" Load core=1 callback=1 text=dvrcore 22.06.4.0") != std::string::npos)
            loads.push_back(line.substr(0, line.find(' ')));
    EXPECT_EQ(loads, (Strings{"dADIduX", "a", "corelike", "errs", "fails", "wide", "a"}));

    for (const char* expected :
         {"Core: Failed to load plugin 'broken.so': ", "Core: Loaded plugin: noload.so",
          "Core: Failed to load plugin: noload.so (missing symbol)", "plugin fails.so load returned 5 error 0",
          "plugin errs.so load returned 0 error 5", "plugin corelike.so ID 0x80000000 already loaded",
          "plugin wide.so ID 0x01230000 exceeds the log level array size, set LogLevelArraySize to 0xfff",
          "plugin a.so ID 0x00110000 already loaded", "Core: Loaded plugin: a.so"})
        EXPECT_NE(console.find(expected), std::string::npos) << expected << "\n" << console;
    EXPECT_EQ(console.find("Core: Loaded plugin: broken.so"), std::string::npos);
    Strings calls = ProbeCalls(dir.Path());
    EXPECT_EQ(LinesStartingWith(calls, "a Load").size(), 2u);
    // Refused after Load, the duplicate a.so, corelike.so and wide.so get their Unload at once;
    // the a.so of the table gets its own at shutdown. A refused Load is never followed by Unload.
    EXPECT_EQ(LinesStartingWith(calls, "a Unload").size(), 2u);
    EXPECT_EQ(LinesStartingWith(calls, "corelike Unload").size(), 1u);
    EXPECT_EQ(LinesStartingWith(calls, "wide Unload").size(), 1u);
    EXPECT_TRUE(LinesStartingWith(calls, "fails Unload").empty());

    // The statistics document lists the loaded plugins and, numbered, the file the loader refused.
    std::string saved = dvr::test::ReadFile(dir / "core.xml");
    for (const char* expected :
         {"<Plugin ID=\"1114112\" Filename=\"a.so\" Opened=\"1\" LoadTimeMs=\"",
          "<Plugin ID=\"1245184\" Filename=\"dADIduX.so\" Opened=\"1\"",
          "<Plugin ID=\"1\" Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"79\" "
          "LogLevel=\"-1\" LogLevelDefault=\"-1\"",
          "<Module ID=\"1\" Name=\"broken.so\" Version=\""})
        EXPECT_NE(saved.find(expected), std::string::npos) << expected << "\n" << saved;
    EXPECT_EQ(saved.find("fails.so"), std::string::npos) << saved; // refused after loading: not listed
}

TEST_F(PluginProcess, ShutdownWaitsForAReaderThreadStillInsideRead)
{
    InstallProbe(dir.Path(), "plugins", "reader", "id 0x00110000\nreads 1\nstreamreadms 2000\n");
    // Announces stream 7 while it is opened, which starts a reader thread in the reader plugin.
    InstallProbe(dir.Path(), "plugins", "source", "id 0x00120000\nstreamopen 7\n");

    RunUntilStarted();

    Strings calls = ProbeCalls(dir.Path());
    ASSERT_TRUE(Contains(calls, "reader Read stream 7 begin"));
    EXPECT_LT(Position(calls, "reader Read stream 7 end"), Position(calls, "reader Close"));
    EXPECT_LT(Position(calls, "reader Read stream 7 end"), Position(calls, "reader Unload"));
}

// The subscriber keeps every block and never gives one back, so the reader's second block waits
// for the first with nothing to free it: the stop must wake it, or the shutdown never ends.
TEST_F(PluginProcess, StopWakesAReaderWaitingForItsPreviousBlock)
{
    InstallProbe(dir.Path(), "plugins", "reader", "id 0x00110000\nreads 1\nstreamblocks 3\n");
    InstallProbe(dir.Path(), "plugins", "source", "id 0x00120000\nstreamopen 7\n");
    InstallProbe(dir.Path(), "plugins", "subscriber", "id 0x00130000\nmask1 0xFFFFFFFF\nwrites 1\nkeep 1\n");

    dvr::test::NoLeakCheckInChildren noLeakCheck; // the kept blocks are left allocated by design
    ChildProcess core({dir / "dvrcore"}, {.workingDirectory = dir.Path(), .terminal = true, .inheritedFds = {}});
    ASSERT_TRUE(core.WaitForOutput("successfully started core version", PROCESS_TIMEOUT)) << core.Output();
    auto deadline = std::chrono::steady_clock::now() + PROCESS_TIMEOUT;
    while (!Contains(ProbeCalls(dir.Path()), "reader Read stream 7 sending 2") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(core.Stop(SIGTERM, PROCESS_TIMEOUT), 0) << core.Output() << core.Errors();

    Strings calls = ProbeCalls(dir.Path());
    EXPECT_TRUE(Contains(calls, "reader Read stream 7 block 1 answered 0"));
    EXPECT_TRUE(Contains(calls, "reader Read stream 7 block 2 answered 1"));
    EXPECT_LT(Position(calls, "reader Read stream 7 end"), Position(calls, "reader Close"));
}

} // namespace
