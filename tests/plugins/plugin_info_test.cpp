// PluginInfo, the wrapper of the shutdown logger, driven through its member operations.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "events/event_callback.h"
#include "plugin_test_support.h"
#include "plugins/plugin_info.h"

namespace {

using dvr::test::Contains;
using dvr::test::InstallPlugin;
using dvr::test::InstallProbe;
using dvr::test::ProbeCalls;
using Strings = std::vector<std::string>;

bool NoEntryPoints(const PluginInfo& plugin)
{
    const PluginInfo::EntryPoints& e = plugin.entry;
    return !e.Load && !e.Unload && !e.Open && !e.Close && !e.Write && !e.Seek && !e.IOCTL && !e.Read;
}

TEST(PluginWrapper, MissingFileLeavesAnEmptyObjectThatCallsNothing)
{
    PluginInfo plugin("/nonexistent/LogPI.so", NullEventSink, nullptr);
    EXPECT_EQ(plugin.loadCode, PLUGIN_NOT_LOADED);
    EXPECT_EQ(plugin.handle, nullptr);
    EXPECT_EQ(plugin.name, "LogPI.so");
    EXPECT_TRUE(NoEntryPoints(plugin));
    EXPECT_EQ(plugin.Open(1).first, PLUGIN_ENTRY_UNAVAILABLE);
    auto [closeCode, closeOut] = plugin.Close();
    EXPECT_EQ(closeCode, PLUGIN_ENTRY_UNAVAILABLE);
    EXPECT_EQ(closeOut.size, sizeof(_CloseParmsOut));
    EXPECT_EQ(plugin.Unload().first, PLUGIN_ENTRY_UNAVAILABLE);
    plugin.Log(100, "dropped"); // nothing to write to; must not crash
}

TEST(PluginWrapper, LifecycleCallsEachStageOnce)
{
    dvr::test::TemporaryDirectory dir;
    InstallProbe(dir.Path(), "plugins", "p", "id 0x00110000\nopen 3\n");
    PluginInfo plugin(dir / "plugins/p.so", NullEventSink, nullptr);
    ASSERT_EQ(plugin.loadCode, 0);
    EXPECT_EQ(plugin.info.providerID, 0x00110000u);
    EXPECT_EQ(plugin.entry.Open, nullptr); // service entry points are found by Open
    plugin.Log(100, "before open");

    EXPECT_EQ(plugin.Open(1).first, 3);
    EXPECT_EQ(plugin.openCode, 3);
    EXPECT_EQ(plugin.Open(1).first, PLUGIN_ENTRY_UNAVAILABLE);
    plugin.Log(42, "hello");
    EXPECT_EQ(plugin.Close().first, 0);
    EXPECT_EQ(plugin.entry.Write, nullptr);
    plugin.Log(100, "after close");
    EXPECT_EQ(plugin.Close().first, PLUGIN_ENTRY_UNAVAILABLE);
    EXPECT_EQ(plugin.Unload().first, 0);
    EXPECT_EQ(plugin.handle, nullptr);
    EXPECT_TRUE(NoEntryPoints(plugin));

    EXPECT_EQ(ProbeCalls(dir.Path()), (Strings{"p Load core=0 callback=1 text=dvrcore 22.06.4.0", "p Open 1",
                                               "p Write 0x80000000 0x40 0x00000002 42 hello", "p Close", "p Unload"}));
}

TEST(PluginWrapper, RequiredNameMissingGivesMinus101AndReleases)
{
    dvr::test::TemporaryDirectory dir;
    InstallPlugin(dir.Path(), "plugins", "loadonly.so", dvr::test::LoadOnlyPlugin());
    PluginInfo plugin(dir / "plugins/loadonly.so", NullEventSink, nullptr);
    EXPECT_EQ(plugin.loadCode, PLUGIN_ENTRY_MISSING);
    EXPECT_EQ(plugin.handle, nullptr);
    EXPECT_TRUE(NoEntryPoints(plugin));
    EXPECT_EQ(plugin.Open(1).first, PLUGIN_ENTRY_UNAVAILABLE);
}

TEST(PluginWrapper, FailedLoadReleasesWhetherByReturnOrByError)
{
    dvr::test::TemporaryDirectory dir;
    InstallProbe(dir.Path(), "plugins", "returns", "id 0x00110000\nload 5\n");
    InstallProbe(dir.Path(), "plugins", "errs", "id 0x00120000\nloaderror 5\n");
    PluginInfo returns(dir / "plugins/returns.so", NullEventSink, nullptr);
    PluginInfo errs(dir / "plugins/errs.so", NullEventSink, nullptr);
    EXPECT_EQ(returns.loadCode, 5);
    EXPECT_EQ(errs.loadCode, 0);
    for (const PluginInfo* plugin : {&returns, &errs}) {
        EXPECT_EQ(plugin->handle, nullptr) << plugin->name;
        EXPECT_TRUE(NoEntryPoints(*plugin)) << plugin->name;
    }
}

TEST(PluginWrapper, NeverUnmappedRoleKeepsItsHandleOnRelease)
{
    dvr::test::TemporaryDirectory dir;
    InstallProbe(dir.Path(), "plugins", "keep", "id 0x00470000\n");
    PluginInfo plugin(dir / "plugins/keep.so", NullEventSink, nullptr);
    void* handle = plugin.handle;
    ASSERT_NE(handle, nullptr);
    plugin.Unload();
    EXPECT_EQ(plugin.handle, handle);
    EXPECT_TRUE(NoEntryPoints(plugin));
    void* stillMapped = dlopen((dir / "plugins/keep.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(stillMapped, nullptr);
    if (stillMapped != nullptr)
        dlclose(stillMapped);
}

} // namespace
