#pragma once

#include <string>
#include <vector>

namespace dvr {

// Appends the full path of every entry of directory that is a regular file (a link to one counts)
// and whose extension is exactly extension (case-sensitive, so x.SO and x.so.1 do not count). A
// missing or unreadable directory, and any error while iterating, only ends the search early;
// nothing is reported.
void ScanPluginDirectory(const std::string& directory, const std::string& extension, std::vector<std::string>& files);

// The load order of plugin files: a path containing the marker "dADIdu" comes before every path
// without it; within each group paths compare component by component as byte strings, and a path
// that is a prefix of the other comes first. A strict weak order.
bool ComparePluginPaths(const std::string& a, const std::string& b);

} // namespace dvr
