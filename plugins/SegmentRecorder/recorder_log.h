// The recorder's log lines, sent through the core under its provider ID, and FFmpeg's error texts.
#pragma once

#include <cstdint>
#include <string>

namespace segrec {

// Module 0x0A3: its log threshold and the parent packets addressed to it.
constexpr uint32_t RECORDER_PROVIDER_ID = 0x00A30000;

constexpr int LOG_DETAIL = 0;
constexpr int LOG_INFO = 25;
constexpr int LOG_WARNING = 50;
constexpr int LOG_FAILURE = 100;

// One line through the core, from any thread; nothing before Load.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// FFmpeg's text for an AVERROR code.
std::string AvError(int code);

} // namespace segrec
