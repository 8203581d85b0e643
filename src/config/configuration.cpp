#include "config/configuration.h"

#include <cerrno>
#include <cstring>

#include "config/statistics_document.h"
#include "config/threshold_entry.h"
#include "config/xml_file.h"
#include "log/core_log.h"

namespace dvr {

namespace {

// Product/Family and Product/Version of product.xml's first element, when present.
void LoadProductIdentity(CoreSettings& settings)
{
    XmlDocument document;
    if (!LoadXmlFile(document, "product.xml"))
        return;
    const TiXmlElement* top = document.FirstChildElement();
    const TiXmlElement* product = top != nullptr ? top->FirstChildElement("Product") : nullptr;
    if (product == nullptr)
        return;
    if (const char* family = product->Attribute("Family"))
        settings.productFamily = family;
    if (const char* version = product->Attribute("Version"))
        settings.productVersion = version;
}

// Keeps a core.xml that exists but could not be read whole beside it as core.xml.bad, before
// the start-up save replaces it.
void SetAsideUnreadableCoreXml(PluginEntryPoint logCallback)
{
    int error = SetAsideUnreadableXmlFile(CORE_CONFIG_FILE);
    if (error == 0)
        CoreLog(CORE_PROVIDER_ID, logCallback, LOG_CONFIG_FAILURE, "Kept the unreadable %s as %s%s.", CORE_CONFIG_FILE,
                CORE_CONFIG_FILE, XML_UNREADABLE_SUFFIX);
    else if (error != ENOENT)
        CoreLog(CORE_PROVIDER_ID, logCallback, LOG_CONFIG_FAILURE, "Failed to keep the unreadable %s as %s%s %d - %s.",
                CORE_CONFIG_FILE, CORE_CONFIG_FILE, XML_UNREADABLE_SUFFIX, error, std::strerror(error));
}

} // namespace

void LoadConfiguration(CoreSettings& settings, LogLevelTable& logLevels, PluginEntryPoint logCallback)
{
    LoadProductIdentity(settings);

    XmlDocument document;
    LoadXmlFile(document, CORE_CONFIG_FILE); // whether oDVR is there decides, not the result
    const TiXmlElement* root = document.FirstChildElement("oDVR");
    if (root == nullptr) {
        if (document.Error())
            CoreLog(CORE_PROVIDER_ID, logCallback, LOG_CONFIG_FAILURE, "Failed to load/parse core.xml %d - %s.",
                    document.ErrorId(), document.ErrorDesc());
        else
            CoreLog(CORE_PROVIDER_ID, logCallback, LOG_CONFIG_FAILURE, "Failed to load core.xml, missing oDVR node.");
        SetAsideUnreadableCoreXml(logCallback);
        return;
    }
    // What TinyXML read before an error is used, but the rest of the file would be lost.
    if (document.Error())
        SetAsideUnreadableCoreXml(logCallback);

    if (const TiXmlElement* memory = root->FirstChildElement("Memory")) {
        if (std::optional<int> throttling = IntAttribute(*memory, "Throttling"))
            settings.memoryThrottlingEnabled = *throttling != 0;
    }

    if (const TiXmlElement* modules = root->FirstChildElement("Modules")) {
        ForEachModulePlugin(*modules, [&](const TiXmlElement& plugin) {
            std::optional<ThresholdEntry> entry = ReadThresholdEntry(plugin);
            if (!entry)
                return;
            int fallback = IntAttribute(plugin, "LogLevelDefault").value_or(LogLevelTable::UNSET);
            bool useDefault = entry->logLevel == LogLevelTable::UNSET && fallback != LogLevelTable::UNSET;
            logLevels.Set(entry->index, useDefault ? fallback : entry->logLevel);
        });
    }
}

} // namespace dvr
