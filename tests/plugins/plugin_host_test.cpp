// The plugin host inside one core object, for what the running process does not show: the level
// tables, the records' codes and threads, and which objects stay mapped. The process tests cover
// order, roles and messages.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "events/event_callback.h"
#include "plugin_test_support.h"
#include "plugins/plugin_info.h"
#include "support/recording_core.h"

namespace {

using dvr::test::Contains;
using dvr::test::InstallPlugin;
using dvr::test::InstallProbe;
using dvr::test::ProbeCalls;
using Strings = std::vector<std::string>;

class PluginHost : public ::testing::Test {
protected:
    PluginHost()
    {
        core.exePath = dir / "dvrcore";
        core.moduleNames.Set(CORE_PROVIDER_ID, "core");
        core.logLevels.Set(0, 0); // the core's level-0 lines are part of what is checked
    }

    // Whatever a test left loaded is taken down, so no joinable thread outlives it.
    ~PluginHost() override
    {
        PluginInfo noLogger(dir / "no-logger.so", NullEventSink, nullptr);
        core.ClosePlugins(noLogger);
        core.UnloadPlugins(noLogger);
    }

    Strings TableNames() const
    {
        Strings names;
        for (const auto& plugin : *core.plugins.Load())
            names.push_back(plugin->name);
        return names;
    }

    const PLUGININFO* Find(const std::string& name) const
    {
        for (const auto& plugin : *core.plugins.Load())
            if (plugin->name == name)
                return plugin.get();
        return nullptr;
    }

    // The level of the first recorded line equal to text, or -1.
    int LevelOf(const std::string& text) const
    {
        for (const auto& line : core.Lines())
            if (line.text == text)
                return line.level;
        return -1;
    }

    // Whether the object of plugins/name is mapped in the process.
    bool Mapped(const std::string& name) const
    {
        void* handle = dlopen((dir / "plugins/" + name).c_str(), RTLD_NOW | RTLD_NOLOAD);
        if (handle != nullptr)
            dlclose(handle); // drops only the reference just taken
        return handle != nullptr;
    }

    void ShutDown(PluginInfo& logger)
    {
        core.UnloadFirstPlugin();
        core.ClosePlugins(logger);
        core.UnloadPlugins(logger);
    }

    dvr::test::TemporaryDirectory dir;
    dvr::test::RecordingCore core;
};

TEST_F(PluginHost, DeclaredLevelIsTheDefaultAndFillsOnlyAnUnsetThreshold)
{
    core.logLevels.Set(0x21, 10); // as core.xml would have set it
    InstallProbe(dir.Path(), "plugins", "Configured", "id 0x00210000\nlevel 40\n");
    InstallProbe(dir.Path(), "plugins", "fresh", "id 0x00220000\nlevel 40\n");
    InstallProbe(dir.Path(), "plugins", "silent", "id 0x00230000\nlevel 0\n");
    InstallProbe(dir.Path(), "plugins", "beyond", "id 0x00240000\nlevel 101\n");
    InstallProbe(dir.Path(), "plugins", "last", "id 0x00FF0000\nlevel 40\n");

    core.LoadPlugins();

    EXPECT_EQ(core.logLevels.Get(0x21), 10);
    EXPECT_EQ(core.defaultLogLevels.Get(0x21), 40);
    EXPECT_EQ(core.logLevels.Get(0x22), 40);
    EXPECT_EQ(core.defaultLogLevels.Get(0x22), 40);
    EXPECT_EQ(core.logLevels.Get(0x23), -1);
    EXPECT_EQ(core.defaultLogLevels.Get(0x23), -1);
    EXPECT_EQ(core.logLevels.Get(0x24), -1);
    EXPECT_EQ(core.defaultLogLevels.Get(0x24), -1);
    // Module index 0xff has no entry but is loaded like any other.
    EXPECT_EQ(TableNames().size(), 5u);
    EXPECT_EQ(core.moduleNames.Lookup(0x00210000), "configured");
    EXPECT_EQ(core.moduleNames.Lookup(0x00FF0000), "last");
}

TEST_F(PluginHost, MissingEntryPointsAreNeverCalledAndFailuresAreLogged)
{
    InstallProbe(dir.Path(), "plugins", "bad", "id 0x00110000\nclose 3\ncloseerror 4\nunloaderror 6\n");
    // Asks for both threads but exports only Load.
    InstallPlugin(dir.Path(), "plugins", "loadonly.so", dvr::test::LoadOnlyPlugin());
    core.LoadPlugins();
    core.OpenPlugins();
    core.StartReadThreads();
    ASSERT_NE(Find("loadonly.so"), nullptr);
    EXPECT_EQ(Find("loadonly.so")->openCode, PLUGIN_ENTRY_UNAVAILABLE);
    EXPECT_FALSE(Find("loadonly.so")->workerthread.joinable());
    EXPECT_FALSE(Find("loadonly.so")->readthread.joinable());
    EXPECT_EQ(LevelOf("Core: Loaded plugin: loadonly.so"), 0);

    PluginInfo noLogger(dir / "no-logger.so", NullEventSink, nullptr);
    ShutDown(noLogger);

    EXPECT_EQ(LevelOf("plugin bad.so close returned 3 error 4"), 0);
    EXPECT_EQ(LevelOf("plugin bad.so unload returned 0 error 6"), 0);
    EXPECT_EQ(LevelOf("plugin loadonly.so close returned -100 error 0"), 0);
    EXPECT_EQ(LevelOf("plugin loadonly.so unload returned -100 error 0"), 0);
    EXPECT_TRUE(core.plugins.Empty());
}

TEST_F(PluginHost, ObjectsAreUnmappedExceptForTheNeverUnmappedRole)
{
    InstallProbe(dir.Path(), "plugins", "keep", "id 0x00470000\n");
    InstallProbe(dir.Path(), "plugins", "plain", "id 0x00110000\n");
    InstallProbe(dir.Path(), "plugins", "refused", "id 0x00120000\nload 5\n");
    core.LoadPlugins();
    EXPECT_FALSE(Mapped("refused.so"));
    EXPECT_TRUE(Mapped("plain.so"));

    PluginInfo noLogger(dir / "no-logger.so", NullEventSink, nullptr);
    ShutDown(noLogger);

    EXPECT_TRUE(Contains(ProbeCalls(dir.Path()), "keep Unload"));
    EXPECT_FALSE(Contains(ProbeCalls(dir.Path()), "refused Unload"));
    EXPECT_TRUE(Mapped("keep.so"));
    EXPECT_FALSE(Mapped("plain.so"));
}

// A plugin refused after its Load ran gets its Unload and stays mapped, so a thread it started in
// Load may go on; what such a thread sends under an ID of no plugin in the table is refused, and
// noted once. A duplicate's events carry its twin's ID and are taken as the twin's.
TEST_F(PluginHost, PluginRefusedAfterLoadIsUnloadedAndLeftMappedForItsThreads)
{
    InstallProbe(dir.Path(), "plugins", "first", "id 0x00210000\n");
    InstallProbe(dir.Path(), "plugins", "twin", "id 0x00210000\nloadthread 1\n");
    InstallProbe(dir.Path(), "plugins", "wide", "id 0x01220000\nloadthread 1\n");
    core.LoadPlugins();
    EXPECT_EQ(TableNames(), Strings{"first.so"});
    EXPECT_EQ(LevelOf("plugin twin.so ID 0x00210000 already loaded"), 50);
    EXPECT_EQ(LevelOf("plugin wide.so ID 0x01220000 exceeds the log level array size, set LogLevelArraySize to 0xfff"),
              100);

    // The threads run in the refused objects until they end by themselves.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto ended = [&] {
        Strings calls = ProbeCalls(dir.Path());
        return Contains(calls, "twin done 0 of 200 refused") && Contains(calls, "wide done 200 of 200 refused");
    };
    while (!ended() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ended()) << "the threads of the refused plugins did not end as expected";

    Strings calls = ProbeCalls(dir.Path());
    EXPECT_TRUE(Contains(calls, "twin Unload"));
    EXPECT_TRUE(Contains(calls, "wide Unload"));
    EXPECT_FALSE(Contains(calls, "first Unload"));
    EXPECT_TRUE(Mapped("twin.so"));
    EXPECT_TRUE(Mapped("wide.so"));
    size_t notes = 0;
    for (const auto& line : core.Lines())
        notes += line.text == "refusing the events of provider 1220000: its plugin wide.so was refused at load";
    EXPECT_EQ(notes, 1u);
}

} // namespace
