// A camera's recordings as a whole, from its day indexes: how many files, their bytes, the oldest
// one (how far back retention has left recordings) and whether the newest is being written.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
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

// The summary of camera's files under the recordings folder (empty when it has none). Any thread.
RecordingsSummary SummarizeRecordings(int recordingsFd, const std::string& camera);

// The summaries the status asks for every few seconds, without reading every day's index each
// time: the whole store of a camera is read again once its summary is older than WHOLE_EVERY,
// while its newest file (and whether it is being written) comes from the indexes of the last
// days at every call. Server's thread only.
class RecordingsSummaries {
public:
    static constexpr std::chrono::seconds WHOLE_EVERY{60};

    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    using WallClockNs = std::function<int64_t()>; // ns since 1970
    RecordingsSummaries(SteadyClock steady, WallClockNs wall);
    RecordingsSummaries();

    RecordingsSummary Get(int recordingsFd, const std::string& camera);

private:
    struct Whole {
        std::chrono::steady_clock::time_point read;
        RecordingsSummary summary;
    };
    const SteadyClock steady_;
    const WallClockNs wall_;
    std::map<std::string, Whole> whole_; // by camera
};

} // namespace webview
