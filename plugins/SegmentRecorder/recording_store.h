// The recorder's files on disk: where a segment goes, the index of each day, reconciling the index
// with the files after a crash, and retention. Shared by every camera's writer thread and the
// retention pass; one mutex inside guards the indexes.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace segrec {

// A line for the plugin's log: level (0 detail, 25 information, 50 warning, 100 failure) and text.
using StoreLog = std::function<void(int level, const std::string& text)>;

// When old recordings go. Zero switches a limit off.
struct RetentionPolicy {
    int64_t maxAgeNs = 0;      // files that started longer ago than this are deleted
    uint64_t minFreeBytes = 0; // below this much free space the oldest files are deleted
    unsigned batch = 16;       // at most this many deletions a pass
};

// What one retention pass did.
struct RetentionResult {
    unsigned deleted = 0;
    uint64_t bytesFreed = 0;
    bool floorStillReached = false; // free space still below the floor once the pass ended
};

class RecordingStore {
public:
    // root: the recordings folder (created when missing).
    RecordingStore(std::string root, StoreLog log);

    // Makes each day's index agree with the files on disk: a file the index lists as being written
    // (the one a crash interrupted) is marked interrupted with its size, a file missing from the
    // index is added, an entry whose file is gone is dropped. Called once before recording starts.
    void Reconcile();

    // Creates the camera's day folder and returns the path of a new segment that starts at startNs
    // (UTC, ns since 1970): <root>/<camera>/<YYYY-MM-DD>/<HH-MM-SS>.mp4, with "-1", "-2"... before
    // the extension when that name is taken. The index lists it as being written until EndSegment.
    std::string BeginSegment(const std::string& camera, int64_t startNs);

    // Marks a segment finished in its day's index, with its media duration and size.
    void EndSegment(const std::string& path, int64_t durationNs, uint64_t bytes);

    // One bounded pass: deletes the oldest finished files (never one being written) while a limit
    // of policy is exceeded, removes emptied day and camera folders, updates the indexes.
    RetentionResult EnforceRetention(const RetentionPolicy& policy, int64_t nowNs);

private:
    std::string root_;
    StoreLog log_;
    std::mutex mutex_;           // guards everything below
    std::set<std::string> open_; // paths of the segments being written
};

} // namespace segrec
