#pragma once

#include <sys/stat.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace dvr::test {

// The inspector's JSON output, read back.
using Json = boost::property_tree::ptree;

struct InspectorRun {
    int status = -1;
    std::string output;
    std::string errors;
    // The JSON object printed with --json; empty when the output is not one.
    Json Parsed() const
    {
        Json tree;
        std::istringstream stream(output);
        try {
            boost::property_tree::read_json(stream, tree);
        } catch (const boost::property_tree::json_parser_error&) {
            return {};
        }
        return tree;
    }
};

// Runs the inspector to its end, in workingDirectory when one is given.
inline InspectorRun RunInspector(std::vector<std::string> arguments, const std::string& workingDirectory = "")
{
    arguments.insert(arguments.begin(), DVRCORE_INSPECT);
    ChildProcess child(arguments, {.workingDirectory = workingDirectory, .terminal = false, .inheritedFds = {}});
    InspectorRun run;
    run.status = child.Wait(std::chrono::seconds(120));
    run.output = child.Output();
    run.errors = child.Errors();
    return run;
}

// The member at path, or an empty tree when there is none.
inline Json Child(const Json& tree, const std::string& path)
{
    boost::optional<const Json&> child = tree.get_child_optional(path);
    return child ? *child : Json();
}

// The report of the file called fileName in the list named list ("files" or "skipped").
inline std::optional<Json> FileEntry(const Json& tree, const std::string& fileName, const std::string& list = "files")
{
    for (const auto& [key, entry] : Child(tree, list))
        if (entry.get<std::string>("file", "") == fileName)
            return entry;
    return std::nullopt;
}

// The strings of an array member.
inline std::vector<std::string> Strings(const Json& entry, const std::string& path)
{
    std::vector<std::string> values;
    for (const auto& [key, value] : Child(entry, path))
        values.push_back(value.data());
    return values;
}

// Started as root, the inspector loads files as another user: the temporary folder (0700 when
// made) must let that user in.
inline void OpenToOtherUsers(const TemporaryDirectory& dir)
{
    chmod(dir.Path().c_str(), 0755);
}

} // namespace dvr::test
