// The core's configuration steps: reading the files at start-up, saving and broadcasting the
// configuration and statistics document, and applying change documents from plugins.
#include "config/config_change.h"
#include "config/configuration.h"
#include "config/statistics_document.h"
#include "config/xml_file.h"
#include "core/dvrcore.h"
#include "events/event_callback.h"

void dvrcore::LoadConfiguration()
{
    dvr::CoreSettings settings;
    settings.productFamily = productFamily;
    settings.productVersion = productVersion;
    settings.memoryThrottlingEnabled = memoryThrottlingEnabled;
    dvr::LoadConfiguration(settings, logLevels, EventCallback);
    productFamily = settings.productFamily;
    productVersion = settings.productVersion;
    memoryThrottlingEnabled = settings.memoryThrottlingEnabled;
}

void dvrcore::SaveConfiguration()
{
    dvr::StatisticsSnapshot snapshot(logLevels, defaultLogLevels);
    snapshot.memoryThrottlingEnabled = memoryThrottlingEnabled;
    snapshot.productVersion = productVersion;
    snapshot.exePath = exePath;
    {
        std::lock_guard lock(eventQueue.queueMutex); // the parent's parameters
        snapshot.parentFilename = parentFilename;
        snapshot.parentVersion = parentVersion;
    }
    for (const dvr::PluginTable::Record& plugin : *plugins.Load())
        snapshot.plugins.push_back(
            {plugin->ProviderID(), plugin->name, plugin->loadTimeMs, plugin->openTimeMs, plugin->openCode});
    snapshot.failedPlugins = failedPlugins;

    dvr::XmlDocument document;
    dvr::SaveConfigurationDocument(document, snapshot, EventCallback);
    dvr::AppendProductElement(document, productFamily, productVersion);
    dvr::BroadcastDocument(document, EVT_CONFIG, EventCallback);
}

void dvrcore::ApplyConfigurationChange(const std::string& text)
{
    // The parse would refuse it as well, silently; the line tells the plugin's author why.
    if (text.size() > dvr::MAX_XML_SIZE) {
        Log(dvr::LOG_WARNING, "Ignored a configuration change document of %zu bytes, more than %zu.", text.size(),
            dvr::MAX_XML_SIZE);
        return;
    }
    if (dvr::ApplyLogLevelChange(text, logLevels, defaultLogLevels))
        SaveConfiguration();
}
