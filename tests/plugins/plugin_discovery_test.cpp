// Which plugin files are found, and the order they load in.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "plugins/plugin_discovery.h"
#include "support/child_process.h"

namespace {

using dvr::ComparePluginPaths;
using Strings = std::vector<std::string>;

Strings Sorted(Strings paths)
{
    std::sort(paths.begin(), paths.end(), ComparePluginPaths);
    return paths;
}

TEST(PluginDiscovery, MarkerFilesComeFirstThenPluginsBeforeProtectedPlugins)
{
    EXPECT_EQ(Sorted({"/opt/x/plugins/b.so", "/opt/x/protected-plugins/a.so", "/opt/x/plugins/dADIduX.so",
                      "/opt/x/plugins/a.so"}),
              (Strings{"/opt/x/plugins/dADIduX.so", "/opt/x/plugins/a.so", "/opt/x/plugins/b.so",
                       "/opt/x/protected-plugins/a.so"}));
}

TEST(PluginDiscovery, MarkerInTheFolderMakesEveryFileAMarkerFile)
{
    EXPECT_EQ(Sorted({"/dADIdu/plugins/b.so", "/dADIdu/protected-plugins/a.so", "/dADIdu/plugins/a.so"}),
              (Strings{"/dADIdu/plugins/a.so", "/dADIdu/plugins/b.so", "/dADIdu/protected-plugins/a.so"}));
    // The marker is case-sensitive.
    EXPECT_TRUE(ComparePluginPaths("/x/plugins/zdADIdu.so", "/x/plugins/a.so"));
    EXPECT_FALSE(ComparePluginPaths("/x/plugins/zdadidu.so", "/x/plugins/a.so"));
}

TEST(PluginDiscovery, PathsCompareComponentByComponentAsBytes)
{
    // As whole strings "a-b" < "a/b"; by components "a" is a prefix of "a-b" and comes first.
    EXPECT_TRUE(ComparePluginPaths("/x/a/z.so", "/x/a-b/a.so"));
    EXPECT_FALSE(ComparePluginPaths("/x/a-b/a.so", "/x/a/z.so"));
    // Bytes, not characters of the locale: upper case before lower case, high bytes last.
    EXPECT_TRUE(ComparePluginPaths("/x/B.so", "/x/a.so"));
    EXPECT_TRUE(ComparePluginPaths("/x/z.so", "/x/\xc3\xa9.so"));
    // A prefix path comes first; equal paths are not ordered.
    EXPECT_TRUE(ComparePluginPaths("/x/plugins", "/x/plugins/a.so"));
    EXPECT_FALSE(ComparePluginPaths("/x/a.so", "/x/a.so"));
}

TEST(PluginDiscovery, ScanKeepsOnlyRegularFilesWithTheExactExtension)
{
    namespace fs = std::filesystem;
    dvr::test::TemporaryDirectory dir;
    std::string plugins = dir / "plugins";
    fs::create_directories(plugins + "/x.so");
    fs::create_symlink(plugins + "/missing", plugins + "/y.so");
    dvr::test::WriteFile(plugins + "/z.SO", "");
    dvr::test::WriteFile(plugins + "/w.so.1", "");
    dvr::test::WriteFile(plugins + "/.so", "");
    dvr::test::WriteFile(plugins + "/real.so", "");
    fs::create_symlink(plugins + "/real.so", plugins + "/linked.so");

    Strings files{"kept"};
    dvr::ScanPluginDirectory(plugins, ".so", files);
    dvr::ScanPluginDirectory(dir / "missing", ".so", files);
    dvr::ScanPluginDirectory(plugins + "/real.so", ".so", files);

    std::sort(files.begin() + 1, files.end());
    EXPECT_EQ(files, (Strings{"kept", plugins + "/linked.so", plugins + "/real.so"}));
}

} // namespace
