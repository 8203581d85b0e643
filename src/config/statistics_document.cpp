#include "config/statistics_document.h"

#include "config/xml_value.h"
#include "log/core_log.h"

namespace dvr {

namespace {

// The core's ID as the document writes it: every integer attribute is signed.
constexpr int CORE_ID_ATTRIBUTE = static_cast<int32_t>(CORE_PROVIDER_ID);
// OpenCode of a plugin file the loader refused.
constexpr int OPEN_CODE_NOT_LOADED = 79;

TiXmlElement& AppendElement(TiXmlNode& parent, const char* name)
{
    // InsertEndChild links a copy and returns it.
    return *parent.InsertEndChild(TiXmlElement(name))->ToElement();
}

// Durations are written as 32-bit values; wrapping is defined through the unsigned type.
int32_t To32(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

std::string LastPathComponent(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void AppendPlugin(TiXmlElement& module, int id, const std::string& filename, int32_t loadTimeMs, int32_t openTimeMs,
                  int32_t openCode, int logLevel, int logLevelDefault)
{
    TiXmlElement& plugin = AppendElement(module, "Plugin");
    plugin.SetAttribute("ID", id);
    plugin.SetAttribute("Filename", filename);
    plugin.SetAttribute("Opened", 1);
    plugin.SetAttribute("LoadTimeMs", loadTimeMs);
    plugin.SetAttribute("OpenTimeMs", openTimeMs);
    plugin.SetAttribute("OpenCode", openCode);
    plugin.SetAttribute("LogLevel", logLevel);
    plugin.SetAttribute("LogLevelDefault", logLevelDefault);
}

} // namespace

void BuildStatisticsDocument(TiXmlDocument& document, const StatisticsSnapshot& snapshot)
{
    document.Clear();
    document.InsertEndChild(TiXmlDeclaration("", "", ""));
    TiXmlElement& root = AppendElement(document, "oDVR");
    root.SetAttribute("Delta", 0);

    TiXmlElement& memory = AppendElement(root, "Memory");
    memory.SetAttribute("ID", CORE_ID_ATTRIBUTE);
    memory.SetAttribute("Throttling", snapshot.memoryThrottlingEnabled ? 1 : 0);

    uint32_t totalLoadTimeMs = 0;
    uint32_t totalOpenTimeMs = 0;
    for (const PluginStatistics& plugin : snapshot.plugins) {
        totalLoadTimeMs += static_cast<uint32_t>(To32(plugin.loadTimeMs));
        totalOpenTimeMs += static_cast<uint32_t>(To32(plugin.openTimeMs));
    }
    TiXmlElement& modules = AppendElement(root, "Modules");
    modules.SetAttribute("TotalLoadTimeMs", static_cast<int32_t>(totalLoadTimeMs));
    modules.SetAttribute("TotalOpenTimeMs", static_cast<int32_t>(totalOpenTimeMs));

    TiXmlElement& core = AppendElement(modules, "Module");
    core.SetAttribute("ID", CORE_ID_ATTRIBUTE);
    core.SetAttribute("Name", "Core");
    core.SetAttribute("Version", snapshot.productVersion);
    AppendPlugin(core, CORE_ID_ATTRIBUTE, LastPathComponent(snapshot.exePath), 0, 0, 0, snapshot.logLevels.Get(0),
                 snapshot.defaultLogLevels.Get(0));
    for (const PluginStatistics& plugin : snapshot.plugins) {
        unsigned index = DVR_MODULE_INDEX(plugin.providerID);
        AppendPlugin(core, static_cast<int32_t>(plugin.providerID), plugin.name, To32(plugin.loadTimeMs),
                     To32(plugin.openTimeMs), plugin.openCode, snapshot.logLevels.Get(index),
                     snapshot.defaultLogLevels.Get(index));
    }

    if (!snapshot.parentVersion.empty()) {
        TiXmlElement& library = AppendElement(core, "Library");
        library.SetAttribute("Name", "ovrimd");
        library.SetAttribute("Filename", snapshot.parentFilename);
        library.SetAttribute("Version", snapshot.parentVersion);
    }

    // Failed files are numbered 1, 2, 3 ...: below any plugin ID, so reading the file back
    // ignores their thresholds.
    int number = 0;
    for (const auto& [filename, error] : snapshot.failedPlugins) {
        ++number;
        TiXmlElement& module = AppendElement(modules, "Module");
        module.SetAttribute("ID", number);
        module.SetAttribute("Name", filename);
        module.SetAttribute("Version", error);
        AppendPlugin(core, number, filename, 0, 0, OPEN_CODE_NOT_LOADED, LogLevelTable::UNSET, LogLevelTable::UNSET);
    }
}

void AppendProductElement(TiXmlDocument& document, const std::string& family, const std::string& version)
{
    TiXmlElement* root = document.FirstChildElement("oDVR");
    if (root == nullptr)
        return;
    TiXmlElement& product = AppendElement(*root, "Product");
    product.SetAttribute("Family", family);
    product.SetAttribute("Version", version);
}

namespace {

// snapshot with every text from outside the core in a form that reads back from core.xml.
StatisticsSnapshot WritableSnapshot(const StatisticsSnapshot& snapshot, PluginEntryPoint logCallback)
{
    StatisticsSnapshot writable = snapshot;
    writable.productVersion = WritableXmlValue(snapshot.productVersion, "the product version", logCallback);
    writable.exePath = WritableXmlValue(LastPathComponent(snapshot.exePath), "the core's file name", logCallback);
    writable.parentFilename = WritableXmlValue(snapshot.parentFilename, "the parent's file name", logCallback);
    writable.parentVersion = WritableXmlValue(snapshot.parentVersion, "the parent's version", logCallback);
    for (PluginStatistics& plugin : writable.plugins)
        plugin.name = WritableXmlValue(plugin.name, "a plugin file name", logCallback);
    writable.failedPlugins.clear();
    for (const auto& [filename, error] : snapshot.failedPlugins) {
        std::string writableName = WritableXmlValue(filename, "a plugin file name", logCallback);
        writable.failedPlugins.emplace(writableName, WritableXmlValue(error, "a loader error text", logCallback));
    }
    return writable;
}

} // namespace

bool SaveConfigurationDocument(XmlDocument& document, const StatisticsSnapshot& snapshot, PluginEntryPoint logCallback)
{
    BuildStatisticsDocument(document, WritableSnapshot(snapshot, logCallback));
    if (SaveXmlFile(document, CORE_CONFIG_FILE))
        return true;
    CoreLog(CORE_PROVIDER_ID, logCallback, LOG_CONFIG_FAILURE, "Failed to save config %d - %s", document.ErrorId(),
            document.ErrorDesc());
    return false;
}

void BroadcastDocument(const TiXmlDocument& document, uint32_t eventType, PluginEntryPoint callback)
{
    if (callback == nullptr)
        return;
    std::string text = PrintXmlStream(document);
    _EventParmsIn in{};
    in.size = sizeof in;
    in.version = EVENT_PARMS_IN_VERSION;
    in.len = static_cast<uint32_t>(text.size());
    in.data = text.data();
    in.providerID = CORE_PROVIDER_ID;
    in.streamID = 0;
    in.eventType = eventType;
    in.eventFlags = EVF_CORE_DOCUMENT;
    _EventParmsOut out{sizeof out, EVENT_PARMS_OUT_VERSION, 0};
    callback(&in, &out);
}

} // namespace dvr
