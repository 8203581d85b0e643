#include "recordings_summary.h"

#include "recordings_index.h"

#include <unistd.h>

namespace webview {

namespace {

using SegmentState = decltype(Recording::entry.state); // as the day index names it

constexpr int64_t NS_PER_DAY = int64_t{86400} * 1'000'000'000;

int64_t WallNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

RecordingsSummary SummarizeRecordings(int recordingsFd, const std::string& camera)
{
    RecordingsSummary summary;
    std::vector<Recording> found;
    std::string why;
    if (!ListRecordings(recordingsFd, camera, INT64_MIN, INT64_MAX, found, why) || found.empty())
        return summary;
    for (const Recording& recording : found) {
        ++summary.files;
        uint64_t bytes = recording.entry.bytes;
        // The index gives a file's size when it ends; until then the file itself says how far it got.
        if (recording.entry.state == SegmentState::Writing)
            if (auto open = OpenRecordingFile(recordingsFd, camera, recording.day, recording.entry.name)) {
                bytes = open->servedBytes;
                close(open->fd);
            }
        summary.bytes += bytes;
    }
    summary.oldestNs = found.front().entry.startNs;
    summary.newestNs = found.back().entry.startNs;
    summary.writing = found.back().entry.state == SegmentState::Writing;
    return summary;
}

RecordingsSummaries::RecordingsSummaries(SteadyClock steady, WallClockNs wall)
    : steady_(std::move(steady)),
      wall_(std::move(wall))
{
}

RecordingsSummaries::RecordingsSummaries()
    : RecordingsSummaries(std::chrono::steady_clock::now, WallNow)
{
}

RecordingsSummary RecordingsSummaries::Get(int recordingsFd, const std::string& camera)
{
    const auto now = steady_();
    auto found = whole_.find(camera);
    if (found == whole_.end() || now - found->second.read >= WHOLE_EVERY)
        found = whole_.insert_or_assign(camera, Whole{now, SummarizeRecordings(recordingsFd, camera)}).first;
    RecordingsSummary summary = found->second.summary;
    // A file goes on being written, or a new one starts, long before the whole is read again.
    std::vector<Recording> recent;
    std::string why;
    const int64_t wall = wall_();
    const int64_t from = wall > INT64_MIN + NS_PER_DAY ? wall - NS_PER_DAY : INT64_MIN;
    if (ListRecordings(recordingsFd, camera, from, INT64_MAX, recent, why) && !recent.empty() &&
        (!summary.newestNs || recent.back().entry.startNs >= *summary.newestNs)) {
        summary.newestNs = recent.back().entry.startNs;
        summary.writing = recent.back().entry.state == SegmentState::Writing;
        if (!summary.oldestNs)
            summary.oldestNs = recent.front().entry.startNs;
    }
    return summary;
}

} // namespace webview
