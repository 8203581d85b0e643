#include "config/configuration.h"

#include "config/xml_file.h"
#include "config_test_support.h"
#include "support/recording_core.h"

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
    ASSERT_EQ(RecordedLog().size(), 4u); // each followed by the line that keeps the file
    EXPECT_EQ(RecordedLog()[0].text, "Failed to load/parse core.xml 17 - Elements nested too deeply (exceeds the "
                                     "configured maximum parse depth).."); // the description ends in its own full stop
    EXPECT_EQ(RecordedLog()[2].text, "Failed to load core.xml, missing oDVR node.");
    EXPECT_EQ(RecordedLog()[2].level, 75);
    EXPECT_TRUE(settings_.memoryThrottlingEnabled);
}

// The start-up save replaces core.xml: an existing one the core could not read whole is kept.
TEST_F(ConfigLoad, UnreadableCoreXmlIsKeptAsBad)
{
    const std::string unreadable[] = {
        "<oDVR><Memory Throttling=\"0\"/>", // cut off: what was read is used
        "<oDVR>" + test::NestedElements(101) + "</oDVR>",
        "<odvr><Memory Throttling=\"0\"/></odvr>",
        "<a>" + std::string(MAX_XML_SIZE, ' ') + "</a>",
    };
    for (const std::string& text : unreadable) {
        RecordedLog().clear();
        WriteFile("core.xml.bad", "older");
        WriteFile("core.xml", text);
        Load();
        EXPECT_FALSE(std::filesystem::exists("core.xml"));
        EXPECT_TRUE(test::ReadFile("core.xml.bad") == text) << text.substr(0, 60);
        ASSERT_FALSE(RecordedLog().empty());
        EXPECT_EQ(RecordedLog().back().text, "Kept the unreadable core.xml as core.xml.bad.");
        EXPECT_EQ(RecordedLog().back().level, 75);
    }
    EXPECT_EQ(RecordedLog()[0].text,
              "Failed to load/parse core.xml 18 - Document too large (exceeds the 4 MiB limit).");
    EXPECT_FALSE(settings_.memoryThrottlingEnabled) << "read from the cut-off file";

    RecordedLog().clear();
    WriteFile("core.xml.bad", "older");
    Load(); // no core.xml: nothing to keep
    EXPECT_EQ(RecordedLog().size(), 1u);
    EXPECT_EQ(test::ReadFile("core.xml.bad"), "older");
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

// One start-up's configuration steps in the working directory: the settings it read, then its save.
struct StartedSettings {
    int coreLevel;
    bool throttling;
    std::string productVersion;
};

StartedSettings LoadAndSave()
{
    test::RecordingCore core;
    core.LoadConfiguration();
    core.SaveConfiguration();
    return {core.logLevels.Get(0), core.memoryThrottlingEnabled, core.productVersion};
}

// A product version that made the saved core.xml unreadable cost every stored setting at the
// next start, since that start's save wrote the defaults.
TEST(ConfigStart, StoredSettingsSurviveRestartsWhateverTheProductVersion)
{
    ScopedWorkDir dir;
    // The last is written four times as long ("&gt;"), past the size core.xml is read up to.
    const std::string versions[] = {"2.0-\xE9", "2.0-&amp;#xZZ;", "\xF0\"x", std::string(MAX_XML_SIZE / 4, '>')};
    for (const std::string& version : versions) {
        SCOPED_TRACE(version.substr(0, 20));
        WriteFile("product.xml", "<P><Product Family=\"F\" Version=\"" + version + "\"/></P>");
        WriteFile("core.xml", "<oDVR><Memory Throttling=\"0\"/><Modules><Module>"
                              "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></oDVR>");
        StartedSettings first = LoadAndSave();
        for (int start = 2; start <= 3; ++start) {
            StartedSettings next = LoadAndSave();
            EXPECT_EQ(next.coreLevel, 0) << "start " << start;
            EXPECT_FALSE(next.throttling) << "start " << start;
            EXPECT_EQ(next.productVersion, first.productVersion);
        }
        EXPECT_FALSE(std::filesystem::exists("core.xml.bad"));
    }
}

TEST(ConfigStart, ChangeDocumentOverFourMiBIsRefusedWithALine)
{
    ScopedWorkDir dir;
    test::RecordingCore core;
    std::string text = "<c Delta=\"1\"><Modules><Module><Plugin ID=\"262144\" LogLevel=\"10\"/></Module></Modules>";
    text += std::string(MAX_XML_SIZE, ' ') + "</c>";
    core.ApplyConfigurationChange(text);
    EXPECT_EQ(core.logLevels.Get(4), -1);
    EXPECT_TRUE(core.Logged("Ignored a configuration change document of " + std::to_string(text.size()) +
                            " bytes, more than 4194304."));
    EXPECT_FALSE(std::filesystem::exists("core.xml"));
}

} // namespace
} // namespace dvr
