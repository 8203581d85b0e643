#pragma once

namespace dvr {

// The deepest element nesting the core parses; TinyXML recurses once per level and has no limit.
constexpr int MAX_XML_DEPTH = 100;

// The deepest element nesting in text (a self-closing element counts as one level), found by a
// scan that skips comments, CDATA, declarations and quoted attribute values the way TinyXML
// does. The scan stops once it passes limit, so it costs at most one pass over text.
int XmlNestingDepth(const char* text, int limit);

} // namespace dvr
