#pragma once

#include <string>

#include <dvrcore/plugin_api.h>

namespace dvr {

// Whether value, written as an attribute by the core's printer, reads back as the same bytes
// through the core's own parse. Two kinds do not: a value whose written form passes MAX_XML_SIZE
// (the printer writes '>' as "&gt;" and a control byte as "&#x01;", so a product.xml of 1 MiB
// holds a version written as 4 MiB), which would make core.xml too large to read at the next
// start; and, with a TinyXML whose printer passes "&#x...;" through unencoded (Debian's encodes
// every '&'), a character reference that would read back as the character it names.
bool XmlValueReadsBack(const std::string& value);

// value when it reads back; otherwise a form that does ('&' becomes '?', or nothing when even
// that does not read back), logged at level 50 through logCallback with what names the value.
// For values from outside the core (the product version, file names, loader texts, the parent's
// identity) that a save writes into core.xml. Any thread.
std::string WritableXmlValue(const std::string& value, const char* what, PluginEntryPoint logCallback);

} // namespace dvr
