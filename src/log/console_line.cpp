#include "log/console_line.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dvr {
namespace {

// Terminal colour digit by level / 25: magenta, green, yellow, red, red.
constexpr int LEVEL_COLOURS[] = {5, 2, 3, 1, 1};

} // namespace

std::string_view LogMessageText(const void* data, size_t len)
{
    if (data == nullptr)
        return {};
    const char* text = static_cast<const char*>(data);
    return {text, strnlen(text, len < LOG_TEXT_MAX ? len : LOG_TEXT_MAX)};
}

std::string FormatConsoleLine(const std::tm& utc, std::string_view moduleName, uint32_t level, bool colour,
                              std::string_view text)
{
    std::string module(moduleName);
    char head[64];
    int headLength;
    if (level <= 100 && colour)
        headLength = snprintf(head, sizeof head, "\x1b[3%dm%02d:%02d:%02d\x1b[36m %-6.6s\x1b[0m ",
                              LEVEL_COLOURS[level / 25], utc.tm_hour, utc.tm_min, utc.tm_sec, module.c_str());
    else
        headLength =
            snprintf(head, sizeof head, "%02d:%02d:%02d %-6.6s ", utc.tm_hour, utc.tm_min, utc.tm_sec, module.c_str());
    std::string line(head, headLength > 0 ? static_cast<size_t>(headLength) : 0);
    line.append(text);
    line.push_back('\n');
    return line;
}

std::string FormatConsoleLine(time_t now, std::string_view moduleName, uint32_t level, bool colour,
                              std::string_view text)
{
    std::tm utc{};
    gmtime_r(&now, &utc); // a time it cannot break down shows as 00:00:00
    return FormatConsoleLine(utc, moduleName, level, colour, text);
}

void WriteConsoleLine(const std::string& line)
{
    const char* data = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t written = write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // nothing else to do about a console that refuses the line
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

} // namespace dvr
