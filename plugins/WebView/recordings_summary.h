// A camera's recordings as a whole, from its day indexes: how many files, their bytes, the oldest
// one (how far back retention has left recordings) and whether the newest is being written.
// Any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace webview {

struct RecordingsSummary {
    uint64_t files = 0;
    uint64_t bytes = 0;              // a file being written counts up to its last whole fragment
    std::optional<int64_t> oldestNs; // the start of the oldest file
    std::optional<int64_t> newestNs; // the start of the newest file
    bool writing = false;            // the newest file's state is writing
};

// The summary of camera's files under the recordings folder (empty when it has none).
RecordingsSummary SummarizeRecordings(int recordingsFd, const std::string& camera);

} // namespace webview
