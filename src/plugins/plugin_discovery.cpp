#include "plugins/plugin_discovery.h"

#include <filesystem>
#include <string_view>

namespace dvr {
namespace {

// Files whose path holds this text load before all others.
constexpr std::string_view LOAD_FIRST_MARKER = "dADIdu";

// The next component of path at or after position, skipping separators; empty at the end. A
// leading separator is a component of its own, so an absolute path sorts apart from a relative one.
std::string_view NextComponent(std::string_view path, size_t& position)
{
    if (position == 0 && !path.empty() && path[0] == '/') {
        position = 1;
        return path.substr(0, 1);
    }
    while (position < path.size() && path[position] == '/')
        ++position;
    size_t end = path.find('/', position);
    if (end == std::string_view::npos)
        end = path.size();
    std::string_view component = path.substr(position, end - position);
    position = end;
    return component;
}

// Path order: component by component, each as bytes (char_traits compares chars as unsigned).
bool PathBefore(std::string_view a, std::string_view b)
{
    size_t positionA = 0;
    size_t positionB = 0;
    for (;;) {
        std::string_view componentA = NextComponent(a, positionA);
        std::string_view componentB = NextComponent(b, positionB);
        if (componentA.empty() || componentB.empty())
            return componentA.empty() && !componentB.empty();
        int order = componentA.compare(componentB);
        if (order != 0)
            return order < 0;
    }
}

} // namespace

std::optional<std::string> PluginFileSkipReason(const std::string& path, const std::string& extension)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        std::error_code linkError;
        return fs::is_symlink(fs::symlink_status(path, linkError)) ? "a dangling symbolic link" : "no such file";
    }
    if (error)
        return "its status cannot be read: " + error.message();
    if (fs::is_directory(status))
        return std::string("not a regular file but a directory");
    if (!fs::is_regular_file(status))
        return std::string("not a regular file");
    if (fs::path(path).extension().string() != extension)
        return "its name does not end in exactly \"" + extension + "\"";
    return std::nullopt;
}

void ScanPluginDirectory(const std::string& directory, const std::string& extension, std::vector<std::string>& files,
                         std::vector<SkippedFile>* skipped)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(fs::status(directory, error)) || error)
        return;
    fs::directory_iterator entry(directory, error);
    if (error)
        return;
    for (; entry != fs::directory_iterator(); entry.increment(error)) {
        if (error)
            return;
        std::string path = entry->path().string();
        if (std::optional<std::string> reason = PluginFileSkipReason(path, extension)) {
            if (skipped != nullptr)
                skipped->push_back({std::move(path), std::move(*reason)});
            continue;
        }
        files.push_back(std::move(path));
    }
}

bool ComparePluginPaths(const std::string& a, const std::string& b)
{
    bool markerA = a.find(LOAD_FIRST_MARKER) != std::string::npos;
    bool markerB = b.find(LOAD_FIRST_MARKER) != std::string::npos;
    if (markerA != markerB)
        return markerA;
    return PathBefore(a, b);
}

} // namespace dvr
