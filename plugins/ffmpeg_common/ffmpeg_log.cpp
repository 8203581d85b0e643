#include "ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

namespace ffmpeg_common {
namespace {

using Callback = void (*)(void*, int, const char*, va_list);

// The chain's own messages: this format, whose text is empty whoever prints it, with kChainMagic
// and a ChainMessage as its two arguments.
constexpr char kChainFormat[] = "%.0s%.0s";
constexpr char kChainMagic[] = "dvr media plugins: FFmpeg log chain 1";

struct ChainMessage {
    enum Kind { kWhoIsFirst, kLeaving } kind;
    Callback leaving;     // kLeaving: the callback leaving the chain
    Callback leavingNext; // kLeaving: the one it passed messages on to
    Callback* first;      // kWhoIsFirst: set by the first callback of the chain
};

thread_local FfmpegLines* threadLines = nullptr; // the route of this thread's messages, or none
std::atomic<Callback> next{nullptr};             // where the messages of other threads go

void OnFfmpegLog(void* context, int avLevel, const char* format, va_list arguments);

// Whether format and arguments are a message of the chain; its content in message.
bool ChainMessageOf(const char* format, va_list arguments, const ChainMessage** message)
{
    if (format == nullptr || std::strcmp(format, kChainFormat) != 0)
        return false;
    va_list copy;
    va_copy(copy, arguments);
    const char* magic = va_arg(copy, const char*);
    const char* data = va_arg(copy, const char*);
    va_end(copy);
    if (magic == nullptr || std::strcmp(magic, kChainMagic) != 0)
        return false;
    *message = reinterpret_cast<const ChainMessage*>(data);
    return true;
}

void Send(const ChainMessage& message)
{
    av_log(nullptr, AV_LOG_QUIET, kChainFormat, kChainMagic, reinterpret_cast<const char*>(&message));
}

void PassOn(void* context, int avLevel, const char* format, va_list arguments)
{
    Callback to = next.load();
    (to != nullptr ? to : av_log_default_callback)(context, avLevel, format, arguments);
}

int64_t MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// One message of a thread routed to lines.
void Route(FfmpegLines* lines, void* context, int avLevel, const char* format, va_list arguments)
{
    const int32_t level = FfmpegLineLevel(avLevel);
    if (level < 0)
        return;
    char text[768];
    int printPrefix = 1;
    if (av_log_format_line2(context, avLevel, format, arguments, text, sizeof text, &printPrefix) < 0)
        return;
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
    if (length == 0)
        return;
    // FFmpeg quotes the URL it was given in some messages: never its credentials.
    std::string shown = text;
    const char* quoted = lines->url.empty() ? nullptr : std::strstr(text, lines->url.c_str());
    if (quoted != nullptr)
        shown.replace(static_cast<size_t>(quoted - text), lines->url.size(), lines->maskedUrl);
    const LineRateLimit::Verdict verdict = lines->limit.Offer(MonotonicNs());
    if (verdict.suppressedBefore > 0)
        lines->write(50, lines->subject + ": " + std::to_string(verdict.suppressedBefore) +
                             " more FFmpeg messages in the minute before not logged");
    if (verdict.pass)
        lines->write(level, lines->subject + ": FFmpeg: " + shown);
}

// Any thread; no lock: a route is its own thread's. Nothing thrown leaves it (FFmpeg's C code is
// on the stack): a message without memory for its text is dropped.
void OnFfmpegLog(void* context, int avLevel, const char* format, va_list arguments)
{
    const ChainMessage* message = nullptr;
    if (ChainMessageOf(format, arguments, &message)) {
        if (message->kind == ChainMessage::kWhoIsFirst) {
            *message->first = OnFfmpegLog;
        } else if (message->leaving == OnFfmpegLog) { // this plugin leaves, and is first
            av_log_set_callback(message->leavingNext);
        } else if (next.load() == message->leaving) { // the one after this leaves: skip it
            next = message->leavingNext;
        } else {
            PassOn(context, avLevel, format, arguments);
        }
        return;
    }
    FfmpegLines* lines = threadLines;
    if (lines == nullptr) {
        PassOn(context, avLevel, format, arguments);
        return;
    }
    try {
        Route(lines, context, avLevel, format, arguments);
    } catch (const std::exception&) {
    }
}

} // namespace

void InstallFfmpegLog()
{
    // The callback in place, if it is one of the chain's; otherwise (FFmpeg's default, or one that
    // does not know the chain) FFmpeg's default is passed to.
    Callback first = nullptr;
    Send(ChainMessage{ChainMessage::kWhoIsFirst, nullptr, nullptr, &first});
    if (first == OnFfmpegLog) // in place already
        return;
    next = first;
    av_log_set_callback(OnFfmpegLog);
}

void RemoveFfmpegLog()
{
    Callback after = next.load();
    Send(
        ChainMessage{ChainMessage::kLeaving, OnFfmpegLog, after != nullptr ? after : av_log_default_callback, nullptr});
}

FfmpegLinesScope::FfmpegLinesScope(FfmpegLines* lines)
{
    threadLines = lines;
}

FfmpegLinesScope::~FfmpegLinesScope()
{
    threadLines = nullptr;
}

} // namespace ffmpeg_common
