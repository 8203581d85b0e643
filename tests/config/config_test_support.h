#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <dvrcore/plugin_api.h>
#include <gtest/gtest.h>
#include <tinyxml.h>

namespace dvr::test {

// A fresh temporary directory that is the working directory for the lifetime of this object.
class ScopedWorkDir {
public:
    ScopedWorkDir()
    {
        char pattern[] = "/tmp/dvrcore-config-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        path_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScopedWorkDir()
    {
        std::filesystem::current_path(previous_);
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

inline void WriteFile(const std::string& name, const std::string& text)
{
    std::ofstream(name, std::ios::binary) << text;
}

inline std::string ReadFile(const std::string& name)
{
    std::ostringstream text;
    text << std::ifstream(name, std::ios::binary).rdbuf();
    return text.str();
}

// n elements, each inside the one before.
inline std::string NestedElements(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i)
        text += "<a>";
    for (int i = 0; i < n; ++i)
        text += "</a>";
    return text;
}

struct LogLine {
    int level;
    std::string text;
};

// The log lines submitted through RecordLog since the last Clear.
inline std::vector<LogLine>& RecordedLog()
{
    static std::vector<LogLine> lines;
    return lines;
}

// A log callback that lets every line through and records it.
inline int RecordLog(void* in, void* out)
{
    auto* event = static_cast<_EventParmsIn*>(in);
    auto* result = static_cast<_EventParmsOut*>(out);
    if ((event->eventFlags & EVF_LOG_MESSAGE) == 0) {
        result->result = -1; // threshold query: nothing set, so every line passes
        return 0;
    }
    RecordedLog().push_back({EventLogLevel(event), static_cast<const char*>(event->data)});
    return 0;
}

} // namespace dvr::test
