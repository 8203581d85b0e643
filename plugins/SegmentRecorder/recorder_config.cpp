#include "recorder_config.h"

#include "recorder_log.h"

#include <tinyxml.h>

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace segrec {

namespace {

// Sets value from the attribute when it is a whole number within [low, high]; logs and keeps the
// default otherwise.
void ReadNumber(const TiXmlElement& root, const char* name, int low, int high, int& value)
{
    const char* text = root.Attribute(name);
    if (text == nullptr)
        return;
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high) {
        Log(LOG_WARNING, "segment_recorder.xml: %s=\"%s\" is not a number from %d to %d; using %d", name, text, low,
            high, value);
        return;
    }
    value = static_cast<int>(number);
}

} // namespace

RecorderConfig ReadRecorderConfig(const std::string& path)
{
    RecorderConfig config;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        Log(LOG_INFO, "no %s: recording with the default settings", path.c_str());
        return config;
    }
    TiXmlDocument document;
    if (!document.LoadFile(path.c_str())) {
        Log(LOG_WARNING, "%s: %s (line %d); recording with the default settings", path.c_str(), document.ErrorDesc(),
            document.ErrorRow());
        return config;
    }
    const TiXmlElement* root = document.RootElement();
    if (root == nullptr || root->ValueStr() != "SegmentRecorder") {
        Log(LOG_WARNING, "%s: the root element is not <SegmentRecorder>; recording with the default settings",
            path.c_str());
        return config;
    }
    if (const char* folder = root->Attribute("folder")) {
        if (*folder != '\0')
            config.folder = folder;
        else
            Log(LOG_WARNING, "segment_recorder.xml: folder is empty; using \"%s\"", config.folder.c_str());
    }
    ReadNumber(*root, "segmentSeconds", 1, 24 * 3600, config.segmentSeconds);
    ReadNumber(*root, "fragmentMs", 40, 60000, config.fragmentMs);
    ReadNumber(*root, "syncMs", 10, 600000, config.syncMs);
    ReadNumber(*root, "maxAgeHours", 0, 100 * 365 * 24, config.maxAgeHours);
    ReadNumber(*root, "minFreeMB", 0, 1 << 30, config.minFreeMB);
    ReadNumber(*root, "queueMB", 1, 4096, config.queueMB);
    ReadNumber(*root, "queueTotalMB", 1, 4096, config.queueTotalMB);
    ReadNumber(*root, "queueSeconds", 1, 3600, config.queueSeconds);
    ReadNumber(*root, "retentionBatch", 1, 100000, config.retentionBatch);
    return config;
}

} // namespace segrec
