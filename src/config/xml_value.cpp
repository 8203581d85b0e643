#include "config/xml_value.h"

#include <algorithm>

#include "config/xml_file.h"
#include "log/core_log.h"
#include "log/log_levels.h"

namespace dvr {

bool XmlValueReadsBack(const std::string& value)
{
    TiXmlElement element("Value");
    element.SetAttribute("Text", value);
    XmlDocument document;
    if (!ParseXmlText(document, PrintXmlStream(element)))
        return false;
    const TiXmlElement* read = document.FirstChildElement("Value");
    const std::string* text = read != nullptr ? read->Attribute(std::string("Text")) : nullptr;
    return text != nullptr && *text == value;
}

std::string WritableXmlValue(const std::string& value, const char* what, PluginEntryPoint logCallback)
{
    if (XmlValueReadsBack(value))
        return value;
    // Without '&' the printer escapes every markup character itself; should even that not read
    // back, nothing is written.
    std::string safe = value;
    std::replace(safe.begin(), safe.end(), '&', '?');
    if (!XmlValueReadsBack(safe))
        safe.clear();
    CoreLog(CORE_PROVIDER_ID, logCallback, LOG_WARNING, "Wrote %s as \"%s\": its value would not read back.", what,
            safe.c_str());
    return safe;
}

} // namespace dvr
