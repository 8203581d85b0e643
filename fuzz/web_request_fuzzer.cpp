// The web view's request path: a target, a Range header against a file size, and a day index's
// text, each from a part of the input, checked against what the server relies on.
#include "recordings_index.h"
#include "request_rules.h"
#include "web_log.h"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

void webview::Log(int, const char*, ...) {}

namespace {

void Require(bool holds)
{
    if (!holds)
        std::abort();
}

// A path component the server may open relative to its folder.
bool OneComponent(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // target '\n' range header '\n' file size '\n' index text
    const size_t first = input.find('\n');
    const size_t second = first == std::string_view::npos ? first : input.find('\n', first + 1);
    const std::string_view target = input.substr(0, first);
    const std::string_view header =
        first == std::string_view::npos ? std::string_view() : input.substr(first + 1, second - first - 1);
    const std::string_view rest = second == std::string_view::npos ? std::string_view() : input.substr(second + 1);

    const webview::Route route = webview::ParseRoute(target);
    if (route.kind == webview::RouteKind::RecordingFile)
        Require(OneComponent(route.camera) && OneComponent(route.day) && OneComponent(route.file));
    webview::QueryTime(route, "from");

    const uint64_t fileSize = rest.size() * 977;
    const webview::ByteRange range = webview::ParseRange(header, fileSize);
    switch (range.kind) {
    case webview::RangeKind::Whole: Require(range.first == 0 && range.length == fileSize); break;
    case webview::RangeKind::Partial:
        Require(range.length > 0 && range.first < fileSize && range.length <= fileSize - range.first);
        break;
    case webview::RangeKind::Unsatisfiable: break;
    }

    std::set<std::string> names;
    for (const recindex::IndexEntry& entry : recindex::ParseDayIndex(rest).entries)
        Require(names.insert(entry.name).second && OneComponent(entry.name) && entry.durationNs >= 0);
    return 0;
}
