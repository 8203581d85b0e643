#include "core_status.h"

#include <tinyxml.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace webview {

bool CoreStatus::Document(std::string_view text)
{
    TiXmlDocument document;
    document.Parse(std::string(text).c_str());
    const TiXmlElement* root = document.RootElement();
    const TiXmlElement* memory = root == nullptr ? nullptr : root->FirstChildElement("Memory");
    int throttling = 0;
    if (memory == nullptr || memory->QueryIntAttribute("Throttling", &throttling) != TIXML_SUCCESS)
        return false;
    // Time is a signed 32-bit decimal that wraps in 2038: read as unsigned, it holds until 2106.
    int time = 0;
    memory->QueryIntAttribute("Time", &time);
    std::lock_guard lock(mutex_);
    const bool on = throttling != 0;
    if (figures_.throttling != on) {
        if (on)
            ++figures_.throttlingStarts;
        figures_.changedAt = static_cast<uint32_t>(time);
    }
    figures_.throttling = on;
    return true;
}

bool CoreStatus::Throttling() const
{
    std::lock_guard lock(mutex_);
    return figures_.throttling.value_or(false);
}

CoreFigures CoreStatus::Figures() const
{
    std::lock_guard lock(mutex_);
    return figures_;
}

uint64_t ResidentBytes()
{
    FILE* file = std::fopen("/proc/self/statm", "re");
    if (file == nullptr)
        return 0;
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const int read = std::fscanf(file, "%llu %llu", &size, &resident);
    std::fclose(file);
    return read == 2 ? resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

} // namespace webview
