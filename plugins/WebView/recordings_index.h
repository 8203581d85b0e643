// Listing the recorder's files through its day indexes (read by plugins/recording_index, as the
// recorder reads them) and opening the files they name. The recordings folder is input: every folder and file is opened
// relative to its parent's descriptor with O_NOFOLLOW, and only regular files are read. Any thread.
#pragma once

#include "day_index.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace webview {

struct Recording {
    std::string day; // "YYYY-MM-DD"
    recindex::IndexEntry entry;
};

// Where a file's media ends as its index says: its start plus its duration; a file being written
// reaches on to now, as far as anyone can ask.
int64_t RecordedUntil(const recindex::IndexEntry& entry);

// The files of camera whose span [start, RecordedUntil] meets [fromNs, toNs], by start. False
// with why when the camera's folder cannot be read (why is empty when the camera has none).
bool ListRecordings(int recordingsFd, const std::string& camera, int64_t fromNs, int64_t toNs,
                    std::vector<Recording>& found, std::string& why);

// A file of a recording opened for reading.
struct OpenRecording {
    int fd = -1;                // owned by the caller once returned
    uint64_t servedBytes = 0;   // the whole file, or up to its last whole fragment while it is written
    recindex::IndexEntry entry; // its index entry
    uint64_t inode = 0;
    int64_t modifiedNs = 0;
};

// Opens camera/day/file when it is a regular file its day's index names; nothing otherwise
// (also for a symlink anywhere on the way, and for a file being written that holds no whole
// fragment yet).
std::optional<OpenRecording> OpenRecordingFile(int recordingsFd, const std::string& camera, const std::string& day,
                                               const std::string& file);

} // namespace webview
