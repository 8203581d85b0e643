#pragma once

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace dvr::test {

// The configurable test plugin (see plugin_probe.c) and the two fixed ones.
inline std::string ProbePlugin()
{
    return DVRCORE_TEST_PLUGIN_DIR "/plugin_probe.so";
}
inline std::string LoadOnlyPlugin()
{
    return DVRCORE_TEST_PLUGIN_DIR "/plugin_load_only.so";
}
inline std::string NoLoadPlugin()
{
    return DVRCORE_TEST_PLUGIN_DIR "/plugin_no_load.so";
}
inline std::string LogPlugin()
{
    return DVRCORE_BUILD_DIR "/plugins/LogPI.so";
}

// Copies a built plugin to base/folder/fileName; a probe copy reads base/<stem>.conf.
inline void InstallPlugin(const std::string& base, const std::string& folder, const std::string& fileName,
                          const std::string& source = ProbePlugin())
{
    std::filesystem::create_directories(base + "/" + folder);
    std::filesystem::copy_file(source, base + "/" + folder + "/" + fileName,
                               std::filesystem::copy_options::overwrite_existing);
}

// Installs a probe as base/folder/<stem>.so with its settings.
inline void InstallProbe(const std::string& base, const std::string& folder, const std::string& stem,
                         const std::string& settings)
{
    InstallPlugin(base, folder, stem + ".so");
    WriteFile(base + "/" + stem + ".conf", settings);
}

inline std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The probes' calls, "stem what", in the order they happened.
inline std::vector<std::string> ProbeCalls(const std::string& base)
{
    if (!std::filesystem::exists(base + "/calls.log"))
        return {};
    return SplitLines(ReadFile(base + "/calls.log"));
}

// The lines that begin with prefix, in order.
inline std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// Position of the first line equal to line, or lines.size().
inline size_t Position(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& line)
{
    return Position(lines, line) < lines.size();
}

} // namespace dvr::test
