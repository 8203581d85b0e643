#pragma once

#include <optional>
#include <string>
#include <vector>

namespace dvr {

// An entry of a plugin directory that the loader passes over, and why.
struct SkippedFile {
    std::string path;
    std::string reason;
};

// Why the loader passes over the file at path, or nothing when it would load it: it must be a
// regular file (a link to one counts) and its extension must be exactly extension.
std::optional<std::string> PluginFileSkipReason(const std::string& path, const std::string& extension);

// Appends the full path of every entry of directory that is a regular file (a link to one counts)
// and whose extension is exactly extension (case-sensitive, so x.SO and x.so.1 do not count). A
// missing or unreadable directory, and any error while iterating, only ends the search early;
// nothing is reported to the core. Entries passed over go to skipped, with their reasons, when given.
void ScanPluginDirectory(const std::string& directory, const std::string& extension, std::vector<std::string>& files,
                         std::vector<SkippedFile>* skipped = nullptr);

// The load order of plugin files: a path containing the marker "dADIdu" comes before every path
// without it; within each group paths compare component by component as byte strings, and a path
// that is a prefix of the other comes first. A strict weak order.
bool ComparePluginPaths(const std::string& a, const std::string& b);

} // namespace dvr
