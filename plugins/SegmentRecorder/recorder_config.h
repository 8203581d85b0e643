// The recorder's settings: segment_recorder.xml in the working folder, every attribute optional.
#pragma once

#include <string>

namespace segrec {

struct RecorderConfig {
    std::string folder = "recordings";
    int segmentSeconds = 60; // a file is cut at the first key frame once it holds this much
    int fragmentMs = 1000;   // longest fragment: what a crash can lose
    int syncMs = 2000;       // how often written fragments are forced to the disk
    int maxAgeHours = 0;     // 0: no age limit
    int minFreeMB = 256;     // free space kept on the recordings' file system; 0: no floor
    int queueMB = 64;        // per camera, waiting to be written
    int queueTotalMB = 48;   // every camera's queue together: a quarter of the core's 190 MiB memory limit
    int queueSeconds = 10;   // per camera, media time waiting to be written
    int retentionBatch = 16; // deletions per retention pass
};

// Reads path; a missing file gives the defaults, a bad value is logged and replaced by its default.
RecorderConfig ReadRecorderConfig(const std::string& path);

} // namespace segrec
