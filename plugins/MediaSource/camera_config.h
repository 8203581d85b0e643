// MediaSource's configuration: the cameras of media_source.xml in the working folder.
#ifndef MEDIA_SOURCE_CAMERA_CONFIG_H
#define MEDIA_SOURCE_CAMERA_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace media_source {

inline constexpr const char* kConfigFileName = "media_source.xml";
inline constexpr int kDefaultTimeoutSeconds = 10;

struct CameraConfig {
    uint32_t number = 0; // position among the file's <Camera> elements, from 0 (skipped ones keep theirs)
    std::string name;    // letters, digits, '-', '_', '.'
    std::string url;     // as written, credentials included: never log it, log MaskUrl(url) (url_mask.h)
    int timeoutSeconds = kDefaultTimeoutSeconds; // nothing received for this long: reconnect
    bool paced = true; // pace="0": a file is read as fast as it can be, not at its timestamps' pace
};

// Reads the cameras of the configuration file at path, logging one line for a missing or broken
// file (no cameras then) and for every camera skipped.
std::vector<CameraConfig> LoadCameras(const char* path);

// A camera name usable as a folder name: 1 to 63 letters, digits, '-', '_' or '.', not "." or "..".
bool ValidCameraName(const std::string& name);

} // namespace media_source

#endif
