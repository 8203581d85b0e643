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
    dvr::BuildStatisticsDocument(document, snapshot);
    if (!dvr::SaveXmlFile(document, "core.xml"))
        Log(dvr::LOG_CONFIG_FAILURE, "Failed to save config %d - %s", document.ErrorId(), document.ErrorDesc());
    dvr::AppendProductElement(document, productFamily, productVersion);
    dvr::BroadcastDocument(document, EVT_CONFIG, EventCallback);
}

void dvrcore::ApplyConfigurationChange(const std::string& text)
{
    if (dvr::ApplyLogLevelChange(text, logLevels, defaultLogLevels))
        SaveConfiguration();
}
