#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/dvrcore.h"
#include "log/console_line.h"

namespace dvr::test {

// A core whose console is a list: every line that passes the log gate is recorded.
class RecordingCore : public dvrcore {
public:
    struct Line {
        uint32_t providerID;
        int level;
        std::string text;
    };

    RecordingCore()
        : dvrcore("/nonexistent/dvrcore")
    {
    }

    void WriteLogLine(uint32_t providerID, uint32_t level, const char* text, size_t length) override
    {
        std::lock_guard lock(mutex_);
        lines_.push_back({providerID, static_cast<int>(level), std::string(LogMessageText(text, length))});
    }

    std::vector<Line> Lines() const
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    // Whether a recorded line contains text.
    bool Logged(const std::string& text) const
    {
        std::lock_guard lock(mutex_);
        for (const Line& line : lines_)
            if (line.text.find(text) != std::string::npos)
                return true;
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_; // guarded by mutex_
};

// An event record as a plugin fills it in.
inline _EventParmsIn MakeEvent(uint32_t providerID, uint32_t eventType, uint32_t eventFlags, void* data = nullptr,
                               uint32_t len = 0)
{
    _EventParmsIn event{};
    event.size = sizeof event;
    event.version = EVENT_PARMS_IN_VERSION;
    event.providerID = providerID;
    event.eventType = eventType;
    event.eventFlags = eventFlags;
    event.data = data;
    event.len = len;
    return event;
}

inline _EventParmsOut MakeResult(int32_t preset = 0)
{
    return {sizeof(_EventParmsOut), EVENT_PARMS_OUT_VERSION, preset};
}

} // namespace dvr::test
