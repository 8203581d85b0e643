#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace dvr {

// printf into a string, cut at 511 bytes, as the core formats its log lines: the loader's lines and
// the harness's report lines.
__attribute__((format(printf, 1, 2))) inline std::string FormatText(const char* format, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

} // namespace dvr
