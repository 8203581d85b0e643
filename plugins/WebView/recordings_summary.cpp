#include "recordings_summary.h"

#include "recordings_index.h"

#include <unistd.h>

namespace webview {

namespace {
using SegmentState = decltype(Recording::entry.state); // as the day index names it
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

} // namespace webview
