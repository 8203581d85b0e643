#include "camera_config.h"

#include "plugin_log.h"

#include <dvrcore/media.h>

#include <tinyxml.h>

#include <cctype>
#include <fstream>

namespace media_source {

bool ValidCameraName(const std::string& name)
{
    if (name.empty() || name.size() >= DVR_MEDIA_NAME_SIZE || name == "." || name == "..")
        return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            return false;
    return true;
}

namespace {

// The number of the file's last line: where the parser stopped in a file cut short, for which it
// records no position of its own.
int LastLine(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    int line = 1;
    for (char c; file.get(c);)
        line += c == '\n' ? 1 : 0;
    return line;
}

} // namespace

std::vector<CameraConfig> LoadCameras(const char* path)
{
    std::vector<CameraConfig> cameras;
    TiXmlDocument document(path);
    if (!document.LoadFile()) {
        if (document.ErrorId() == TiXmlBase::TIXML_ERROR_OPENING_FILE)
            Log(kProviderBase, kLogWarning, "no %s in the working folder: no cameras", path);
        else // a file that is there but cannot be read is a broken installation, not a choice
            Log(kProviderBase, kLogFailure, "%s line %d: %s: no cameras", path,
                document.ErrorRow() > 0 ? document.ErrorRow() : LastLine(path), document.ErrorDesc());
        return cameras;
    }
    const TiXmlElement* root = document.RootElement();
    if (root == nullptr || root->ValueStr() != "MediaSource") {
        Log(kProviderBase, kLogFailure, "%s: the root element is not <MediaSource>: no cameras", path);
        return cameras;
    }
    uint32_t number = 0;
    for (const TiXmlElement* element = root->FirstChildElement("Camera"); element != nullptr;
         element = element->NextSiblingElement("Camera"), ++number) {
        CameraConfig camera;
        camera.number = number;
        const char* name = element->Attribute("name");
        const char* url = element->Attribute("url");
        camera.name = name != nullptr ? name : "";
        camera.url = url != nullptr ? url : "";
        if (!ValidCameraName(camera.name)) {
            Log(kProviderBase, kLogWarning,
                "%s line %d: camera %u skipped: its name is not 1 to 63 letters, digits, '-', '_' or '.'", path,
                element->Row(), number);
            continue;
        }
        if (camera.url.empty()) {
            Log(kProviderBase, kLogWarning, "%s line %d: camera %u \"%s\" skipped: no url", path, element->Row(),
                number, camera.name.c_str());
            continue;
        }
        bool duplicate = false;
        for (const CameraConfig& other : cameras)
            duplicate = duplicate || other.name == camera.name;
        if (duplicate) {
            Log(kProviderBase, kLogWarning, "%s line %d: camera %u skipped: the name \"%s\" is taken", path,
                element->Row(), number, camera.name.c_str());
            continue;
        }
        int timeout = kDefaultTimeoutSeconds;
        int found = element->QueryIntAttribute("timeout", &timeout);
        if (found == TIXML_WRONG_TYPE || (found == TIXML_SUCCESS && (timeout < 1 || timeout > 3600))) {
            Log(kProviderBase, kLogWarning, "%s line %d: camera \"%s\": timeout is not 1 to 3600 s: using %d s", path,
                element->Row(), camera.name.c_str(), kDefaultTimeoutSeconds);
            timeout = kDefaultTimeoutSeconds;
        }
        camera.timeoutSeconds = timeout;
        int pace = 1;
        found = element->QueryIntAttribute("pace", &pace);
        if (found == TIXML_WRONG_TYPE || (found == TIXML_SUCCESS && pace != 0 && pace != 1)) {
            Log(kProviderBase, kLogWarning, "%s line %d: camera \"%s\": pace is not 0 or 1: using 1", path,
                element->Row(), camera.name.c_str());
            pace = 1;
        }
        camera.paced = pace != 0;
        cameras.push_back(std::move(camera));
    }
    return cameras;
}

} // namespace media_source
