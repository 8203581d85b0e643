#include "config/statistics_document.h"

#include <cstring>

#include "config/configuration.h"
#include "config_test_support.h"

namespace dvr {
namespace {

using test::RecordedLog;
using test::RecordLog;
using test::ScopedWorkDir;

// Each element in document order as "Name a=1 b=2", nesting shown by leading dots.
void Describe(const TiXmlElement& element, int depth, std::vector<std::string>& lines)
{
    std::string line(depth, '.');
    line += element.Value();
    for (const TiXmlAttribute* attribute = element.FirstAttribute(); attribute != nullptr;
         attribute = attribute->Next())
        line += std::string(" ") + attribute->Name() + "=" + attribute->Value();
    lines.push_back(line);
    for (const TiXmlElement* child = element.FirstChildElement(); child != nullptr; child = child->NextSiblingElement())
        Describe(*child, depth + 1, lines);
}

class Statistics : public ::testing::Test {
protected:
    Statistics()
        : snapshot_(levels_, defaults_)
    {
        RecordedLog().clear();
        snapshot_.memoryThrottlingEnabled = false;
        snapshot_.productVersion = "22.6";
        snapshot_.exePath = "/opt/dvr/bin/dvrcore";
        snapshot_.parentFilename = "ovrimd";
        snapshot_.parentVersion = "9.1";
        snapshot_.plugins = {{0x00040001, "LogPI.so", 12, 30, 0}, {0x00050000, "VideoPI.so", 7, 4000000000LL, -3}};
        snapshot_.failedPlugins = {{"Broken.so", "undefined symbol: x"}};
        levels_.Set(0, 10);
        levels_.Set(5, -1);
        defaults_.Set(4, 20);
        defaults_.Set(5, 30);
        levels_.Set(4, 60);
    }

    ScopedWorkDir dir_;
    LogLevelTable levels_;
    LogLevelTable defaults_;
    StatisticsSnapshot snapshot_;
};

TEST_F(Statistics, SavedDocumentHasEveryElementInOrder)
{
    XmlDocument document;
    ASSERT_TRUE(SaveConfigurationDocument(document, snapshot_, RecordLog));
    XmlDocument saved;
    ASSERT_TRUE(LoadXmlFile(saved, "core.xml"));

    const TiXmlDeclaration* declaration = saved.FirstChild()->ToDeclaration();
    ASSERT_NE(declaration, nullptr);
    EXPECT_STREQ(declaration->Version(), "");
    std::vector<std::string> lines;
    Describe(*saved.RootElement(), 0, lines);
    const std::vector<std::string> expected = {
        "oDVR Delta=0",
        ".Memory ID=-2147483648 Throttling=0",
        ".Modules TotalLoadTimeMs=19 TotalOpenTimeMs=-294967266",
        "..Module ID=-2147483648 Name=Core Version=22.6",
        "...Plugin ID=-2147483648 Filename=dvrcore Opened=1 LoadTimeMs=0 OpenTimeMs=0 OpenCode=0 LogLevel=10 "
        "LogLevelDefault=25",
        "...Plugin ID=262145 Filename=LogPI.so Opened=1 LoadTimeMs=12 OpenTimeMs=30 OpenCode=0 LogLevel=60 "
        "LogLevelDefault=20",
        "...Plugin ID=327680 Filename=VideoPI.so Opened=1 LoadTimeMs=7 OpenTimeMs=-294967296 OpenCode=-3 "
        "LogLevel=-1 LogLevelDefault=30",
        "...Library Name=ovrimd Filename=ovrimd Version=9.1",
        "...Plugin ID=1 Filename=Broken.so Opened=1 LoadTimeMs=0 OpenTimeMs=0 OpenCode=79 LogLevel=-1 "
        "LogLevelDefault=-1",
        "..Module ID=1 Name=Broken.so Version=undefined symbol: x",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(RecordedLog().empty());
}

TEST_F(Statistics, ReadingBackRestoresThresholds)
{
    snapshot_.parentVersion.clear();
    XmlDocument document;
    ASSERT_TRUE(SaveConfigurationDocument(document, snapshot_, RecordLog));
    EXPECT_EQ(
        document.RootElement()->FirstChildElement("Modules")->FirstChildElement("Module")->FirstChildElement("Library"),
        nullptr);

    CoreSettings settings;
    LogLevelTable restored;
    restored.Set(1, 50);
    LoadConfiguration(settings, restored, RecordLog);
    EXPECT_FALSE(settings.memoryThrottlingEnabled);
    EXPECT_EQ(restored.Get(0), 10);
    EXPECT_EQ(restored.Get(4), 60);
    EXPECT_EQ(restored.Get(5), 30) << "LogLevel -1 falls back to LogLevelDefault";
    EXPECT_EQ(restored.Get(1), 50) << "failed files' numbers are not module IDs";
    EXPECT_TRUE(RecordedLog().empty());
}

TEST_F(Statistics, FailedSaveIsLogged)
{
    std::filesystem::create_directory("core.xml.pending");
    XmlDocument document;
    EXPECT_FALSE(SaveConfigurationDocument(document, snapshot_, RecordLog));
    ASSERT_EQ(RecordedLog().size(), 1u);
    EXPECT_EQ(RecordedLog()[0].level, 75);
    EXPECT_EQ(RecordedLog()[0].text, "Failed to save config 2 - create error 21 - Is a directory");
    EXPECT_NE(document.RootElement(), nullptr) << "the document is still there to broadcast";
}

// core.xml reads back as the document the core built, whatever texts came from outside.
TEST_F(Statistics, OutsideTextsAreWrittenSoThatTheyReadBack)
{
    snapshot_.productVersion = "2.0-\xE9";
    snapshot_.plugins[1].name = "&#xZZ;.so";
    snapshot_.failedPlugins = {{"&#x41;\xE0.so", "cannot open \"&#x\""}};
    snapshot_.parentVersion = std::string("9.1\0\xF0", 5);
    XmlDocument document;
    ASSERT_TRUE(SaveConfigurationDocument(document, snapshot_, RecordLog));
    XmlDocument saved;
    ASSERT_TRUE(LoadXmlFile(saved, "core.xml")) << saved.ErrorDesc();
    EXPECT_EQ(PrintXmlIndented(saved), PrintXmlIndented(document));
    // Only a value that would not read back is rewritten, and that with a line; these all do.
    EXPECT_TRUE(RecordedLog().empty());
    EXPECT_EQ(document.RootElement()->FirstChildElement("Modules")->FirstChildElement("Module")->Attribute("Version"),
              snapshot_.productVersion);
}

// A value whose written form would pass the size the core reads core.xml up to is written empty,
// with a line, so the next start still reads its settings.
TEST_F(Statistics, ValueTooLargeToReadBackIsWrittenEmptyWithALine)
{
    snapshot_.productVersion = std::string(MAX_XML_SIZE / 4, '>') + "&";
    XmlDocument document;
    ASSERT_TRUE(SaveConfigurationDocument(document, snapshot_, RecordLog));
    XmlDocument saved;
    ASSERT_TRUE(LoadXmlFile(saved, "core.xml")) << saved.ErrorDesc();
    EXPECT_STREQ(saved.RootElement()->FirstChildElement("Modules")->FirstChildElement("Module")->Attribute("Version"),
                 "");
    ASSERT_EQ(RecordedLog().size(), 1u);
    EXPECT_EQ(RecordedLog()[0].level, 50);
    EXPECT_EQ(RecordedLog()[0].text, "Wrote the product version as \"\": its value would not read back.");
}

std::vector<_EventParmsIn> broadcastEvents;
std::vector<std::string> broadcastTexts;

int RecordBroadcast(void* in, void* out)
{
    auto* event = static_cast<_EventParmsIn*>(in);
    broadcastEvents.push_back(*event);
    broadcastTexts.emplace_back(static_cast<const char*>(event->data));
    static_cast<_EventParmsOut*>(out)->result = EVENT_REFUSED; // ignored by the sender
    return 0;
}

TEST_F(Statistics, BroadcastCarriesProductAsOneLine)
{
    XmlDocument document;
    BuildStatisticsDocument(document, snapshot_);
    AppendProductElement(document, "Fam", "22.6");
    broadcastEvents.clear();
    broadcastTexts.clear();
    BroadcastDocument(document, EVT_CONFIG, RecordBroadcast);

    ASSERT_EQ(broadcastEvents.size(), 1u);
    const _EventParmsIn& event = broadcastEvents[0];
    const std::string& text = broadcastTexts[0];
    EXPECT_EQ(event.size, sizeof(_EventParmsIn));
    EXPECT_EQ(event.version, 1u);
    EXPECT_EQ(event.len, text.size());
    EXPECT_EQ(event.providerID, 0x80000000u);
    EXPECT_EQ(event.streamID, 0u);
    EXPECT_EQ(event.eventType, EVT_CONFIG);
    EXPECT_EQ(event.eventFlags, 0x01000010u);
    const uint8_t zeros[EVENT_EXTRA_SIZE] = {};
    EXPECT_EQ(std::memcmp(event.extra, zeros, sizeof zeros), 0);

    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_TRUE(text.ends_with("<Product Family=\"Fam\" Version=\"22.6\" /></oDVR>")) << text;
    XmlDocument received;
    ASSERT_TRUE(ParseXmlText(received, text));
    EXPECT_EQ(PrintXmlIndented(received), PrintXmlIndented(document));
}

} // namespace
} // namespace dvr
