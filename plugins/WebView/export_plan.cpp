#include "export_plan.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace webview {

namespace {

constexpr size_t MAX_LISTED_GAPS = 32;

} // namespace

std::optional<std::string> ExportSpanProblem(int64_t fromNs, int64_t toNs)
{
    if (fromNs >= toNs)
        return "from must come before to";
    if (static_cast<uint64_t>(toNs) - static_cast<uint64_t>(fromNs) > static_cast<uint64_t>(MAX_EXPORT_NS))
        return "a span of at most 24 hours";
    return std::nullopt;
}

ExportPlan PlanExport(std::vector<Recording> found, int64_t fromNs, int64_t toNs)
{
    ExportPlan plan;
    std::sort(found.begin(), found.end(),
              [](const Recording& a, const Recording& b) { return a.entry.startNs < b.entry.startNs; });
    int64_t covered = fromNs; // the span is covered up to here
    for (Recording& recording : found) {
        const int64_t start = recording.entry.startNs;
        const int64_t end = RecordedUntil(recording.entry);
        if (start > toNs || end < fromNs)
            continue;
        if (start > covered && start - covered > EXPORT_GAP_NS)
            plan.gaps.push_back({covered, start});
        covered = std::max(covered, end);
        plan.files.push_back(std::move(recording));
    }
    if (covered < toNs && toNs - covered > EXPORT_GAP_NS)
        plan.gaps.push_back({covered, toNs});
    return plan;
}

std::string GapHeader(const std::vector<ExportGap>& gaps)
{
    std::string header = std::to_string(gaps.size());
    for (size_t i = 0; i < gaps.size() && i < MAX_LISTED_GAPS; ++i)
        header += (i == 0 ? "; " : ",") + std::to_string(gaps[i].fromNs) + "-" + std::to_string(gaps[i].toNs);
    return header;
}

std::string ExportFileName(const std::string& camera, int64_t fromNs)
{
    std::string name;
    for (const char c : camera.substr(0, 64))
        name += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                        c == '.'
                    ? c
                    : '_';
    int64_t seconds = fromNs / 1'000'000'000;
    if (fromNs % 1'000'000'000 < 0)
        --seconds;
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    char stamp[64] = "export";
    if (gmtime_r(&when, &parts) != nullptr)
        snprintf(stamp, sizeof stamp, "%04d-%02d-%02d_%02d-%02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                 parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return name + "_" + stamp + ".mp4";
}

} // namespace webview
