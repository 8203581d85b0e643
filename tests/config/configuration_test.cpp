#include "config/configuration.h"

#include "config_test_support.h"

namespace dvr {
namespace {

using test::RecordedLog;
using test::RecordLog;
using test::ScopedWorkDir;
using test::WriteFile;

class ConfigLoad : public ::testing::Test {
protected:
    void SetUp() override { RecordedLog().clear(); }

    // Loads the working directory's files into settings_ and levels_.
    void Load() { LoadConfiguration(settings_, levels_, RecordLog); }

    ScopedWorkDir dir_;
    CoreSettings settings_;
    LogLevelTable levels_;
};

TEST_F(ConfigLoad, MissingCoreXmlLogsOnceAndKeepsDefaults)
{
    Load();
    ASSERT_EQ(RecordedLog().size(), 1u);
    EXPECT_EQ(RecordedLog()[0].level, 75);
    EXPECT_EQ(RecordedLog()[0].text, "Failed to load/parse core.xml 2 - Failed to open file.");
    EXPECT_TRUE(settings_.memoryThrottlingEnabled);
    EXPECT_EQ(settings_.productFamily, "ovrimSight");
    EXPECT_EQ(levels_.Get(0), 25);
    for (unsigned index = 1; index < LogLevelTable::SIZE; ++index)
        ASSERT_EQ(levels_.Get(index), -1) << index;
}

TEST_F(ConfigLoad, TooDeepOrRootlessCoreXmlIsReported)
{
    WriteFile("core.xml", "<oDVR>" + test::NestedElements(100) + "</oDVR>");
    Load();
    WriteFile("core.xml", "<other><Memory Throttling=\"0\"/></other>");
    Load();
    ASSERT_EQ(RecordedLog().size(), 2u);
    EXPECT_EQ(RecordedLog()[0].text, "Failed to load/parse core.xml 17 - Elements nested too deeply (exceeds the "
                                     "configured maximum parse depth).."); // the description ends in its own full stop
    EXPECT_EQ(RecordedLog()[1].text, "Failed to load core.xml, missing oDVR node.");
    EXPECT_EQ(RecordedLog()[1].level, 75);
    EXPECT_TRUE(settings_.memoryThrottlingEnabled);
}

TEST_F(ConfigLoad, CompletePendingFileIsPromoted)
{
    WriteFile("core.xml", "<oDVR><Memory Throttling=\"1\"/></oDVR>");
    WriteFile("core.xml.pending", "<oDVR><Memory Throttling=\"0\"/></oDVR>");
    Load();
    EXPECT_FALSE(settings_.memoryThrottlingEnabled);
    EXPECT_FALSE(std::filesystem::exists("core.xml.pending"));
    EXPECT_EQ(test::ReadFile("core.xml"), "<oDVR><Memory Throttling=\"0\"/></oDVR>");
    EXPECT_TRUE(RecordedLog().empty());
}

TEST_F(ConfigLoad, CutOffPendingFileIsLeftAndCoreXmlRead)
{
    WriteFile("core.xml", "<oDVR><Memory Throttling=\"0\"/></oDVR>");
    WriteFile("core.xml.pending", "<oDVR><Memory Throttling=\"1\"/><Mod");
    Load();
    EXPECT_FALSE(settings_.memoryThrottlingEnabled);
    EXPECT_TRUE(std::filesystem::exists("core.xml.pending"));
}

TEST_F(ConfigLoad, ThrottlingReadsLeadingInteger)
{
    struct Case {
        const char* value;
        bool enabled;
    } cases[] = {{"0", false}, {"abc", true}, {"0x60000", false}, {"7up", true}, {" -0", false}};
    for (const Case& c : cases) {
        CoreSettings settings;
        WriteFile("core.xml", std::string("<oDVR><Memory Throttling=\"") + c.value + "\"/></oDVR>");
        LoadConfiguration(settings, levels_, RecordLog);
        EXPECT_EQ(settings.memoryThrottlingEnabled, c.enabled) << c.value;
    }
}

TEST_F(ConfigLoad, ThresholdsInRangeAreStored)
{
    for (unsigned index : {5u, 6u, 7u, 3u})
        levels_.Set(index, 10);
    WriteFile("core.xml", R"(<oDVR><Modules>
        <Module><Plugin ID="-2147483648" LogLevel="0"/></Module>
        <Module>
            <Plugin ID="262144" LogLevel="-1" LogLevelDefault="40"/>
            <Plugin ID="327680" LogLevel="-1"/>
            <Plugin ID="393216" LogLevel="101"/>
            <Plugin ID="458752" LogLevel="-2"/>
            <Plugin ID="262143" LogLevel="50"/>
            <Plugin ID="16711680" LogLevel="50"/>
            <Plugin ID="abc" LogLevel="50"/>
            <Plugin ID="524288"/>
            <Plugin ID="589824" LogLevel="60"/>
            <Plugin ID="589824" LogLevel="70"/>
            <Other ID="655360" LogLevel="60"/>
        </Module>
        <Other><Plugin ID="720896" LogLevel="60"/></Other>
    </Modules></oDVR>)");
    Load();
    EXPECT_EQ(levels_.Get(0), 0) << "the core's own ID";
    EXPECT_EQ(levels_.Get(4), 40) << "LogLevelDefault stands in for -1";
    EXPECT_EQ(levels_.Get(5), -1) << "-1 without a default is stored";
    EXPECT_EQ(levels_.Get(6), 10) << "level 101";
    EXPECT_EQ(levels_.Get(7), 10) << "level -2";
    EXPECT_EQ(levels_.Get(3), 10) << "ID below 0x40000";
    EXPECT_EQ(levels_.Get(8), -1) << "no LogLevel";
    EXPECT_EQ(levels_.Get(9), 70) << "the later entry wins";
    EXPECT_EQ(levels_.Get(10), -1) << "not a Plugin element";
    EXPECT_EQ(levels_.Get(11), -1) << "not in a Module element";
    EXPECT_TRUE(RecordedLog().empty());
}

TEST_F(ConfigLoad, ProductIdentityComesFromProductElement)
{
    WriteFile("core.xml", "<oDVR/>");
    WriteFile("product.xml", "<Anything><Other/><Product Family=\"Fam\" Version=\"2.1\"/></Anything>");
    Load();
    EXPECT_EQ(settings_.productFamily, "Fam");
    EXPECT_EQ(settings_.productVersion, "2.1");

    CoreSettings fresh;
    WriteFile("product.xml", "<Anything><Other Family=\"Fam\"/></Anything>");
    LoadConfiguration(fresh, levels_, RecordLog);
    EXPECT_EQ(fresh.productFamily, "ovrimSight");
    EXPECT_TRUE(RecordedLog().empty());
}

} // namespace
} // namespace dvr
