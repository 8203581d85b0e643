#pragma once

#include <string>

#include <dvrcore/plugin_api.h>

namespace dvr {

// Whether value, written as an attribute by the core's printer, reads back as the same bytes
// through the core's own parse. Upstream TinyXML's printer passes "&#x...;" through unencoded, so
// such a value would read back as the character it names, or make the whole file fail to parse.
bool XmlValueReadsBack(const std::string& value);

// value when it reads back; otherwise a form that does ('&' becomes '?'), logged at level 50
// through logCallback with what names the value. For values from outside the core
// (file names, loader texts, the parent's identity) that a save writes into core.xml. Any thread.
std::string WritableXmlValue(const std::string& value, const char* what, PluginEntryPoint logCallback);

} // namespace dvr
