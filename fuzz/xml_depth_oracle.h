// The depth oracle of the XML targets: the core's nesting scan must count at least as deep as
// the tree TinyXML builds from the same text in the core's reading mode.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "config/xml_file.h"
#include "fuzz_support.h"

namespace dvr::fuzz {

// The deepest text the oracle parses without the core's limit: TinyXML recurses once per level,
// and this many levels fit the stack with room to spare.
constexpr int ORACLE_DEPTH = 1000;

// The scan may count deeper than TinyXML (it guesses towards more elements), never shallower: a
// shallower count lets a deep text through to TinyXML's recursion. A text the scan counts deeper
// than ORACLE_DEPTH is not parsed; should TinyXML find it much deeper still, the scan was wrong
// and the stack overflow is the finding.
inline void CheckDepthScan(const std::string& text)
{
    int scanned = XmlNestingDepth(text.c_str(), ORACLE_DEPTH);
    if (scanned > ORACLE_DEPTH)
        return;
    TiXmlDocument tree;
    ParseXmlBytes(tree, text.c_str());
    FUZZ_CHECK(XmlTreeDepth(tree) <= scanned);
}

} // namespace dvr::fuzz
