#include "config/config_change.h"

#include "config/threshold_entry.h"
#include "config/xml_file.h"

namespace dvr {

bool ApplyLogLevelChange(const std::string& text, LogLevelTable& logLevels, const LogLevelTable& defaultLogLevels)
{
    XmlDocument document;
    if (!ParseXmlText(document, text))
        return false;
    const TiXmlElement* root = document.FirstChildElement();
    if (root == nullptr)
        return false;
    // A full state (the core's own broadcast has Delta 0) is not a change.
    std::optional<int> delta = IntAttribute(*root, "Delta");
    if (!delta || *delta == 0)
        return false;
    const TiXmlElement* modules = root->FirstChildElement("Modules");
    if (modules == nullptr)
        return false;

    bool changed = false;
    ForEachModulePlugin(*modules, [&](const TiXmlElement& plugin) {
        std::optional<ThresholdEntry> entry = ReadThresholdEntry(plugin);
        if (!entry)
            return;
        int previous = logLevels.Get(entry->index);
        if (previous == entry->logLevel)
            return;
        // Resetting a threshold falls back to the level the module declared.
        int level = entry->logLevel;
        if (level == LogLevelTable::UNSET)
            level = defaultLogLevels.Get(entry->index);
        // Only a threshold that really moved counts: resending a reset must not rewrite core.xml
        // on every arrival.
        if (level == previous)
            return;
        logLevels.Set(entry->index, level);
        changed = true;
    });
    return changed;
}

} // namespace dvr
