#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <dvrcore/plugin_api.h>

namespace dvr::test {

// One log line as the core submitted it.
struct CapturedLine {
    uint32_t providerID;
    int level;
    std::string text;
};

// An event callback that answers threshold queries with "none set" and records log lines; each
// LogCapture starts with no lines.
class LogCapture {
public:
    LogCapture() { Taken().clear(); }
    static PluginEntryPoint Callback() { return &Receive; }
    // The lines so far; read once the logging threads are done.
    static std::vector<CapturedLine>& Taken()
    {
        static std::vector<CapturedLine> lines; // written by the thread under test only
        return lines;
    }

private:
    static int Receive(void* in, void* out)
    {
        auto* event = static_cast<_EventParmsIn*>(in);
        if (event->eventFlags & EVF_LOG_MESSAGE)
            Taken().push_back({event->providerID, EventLogLevel(event), static_cast<const char*>(event->data)});
        else
            static_cast<_EventParmsOut*>(out)->result = -1;
        return 0;
    }
};

} // namespace dvr::test
