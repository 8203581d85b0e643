// The web view's log lines, sent through the core under its provider ID.
#pragma once

#include <cstdint>

namespace webview {

// Module 0x0A4: its log threshold and the parent packets addressed to it.
constexpr uint32_t WEB_PROVIDER_ID = 0x00A40000;

constexpr int LOG_DETAIL = 0;
constexpr int LOG_INFO = 25;
constexpr int LOG_WARNING = 50;
constexpr int LOG_FAILURE = 100;

// One line through the core, from any thread; nothing before Load. Never pass it a password, a
// hash, an Authorization header or a session id.
void Log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace webview
