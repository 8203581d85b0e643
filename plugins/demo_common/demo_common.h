/*
 * What the two demo plugins share: the frame layout they agree on, a monotonic clock for their
 * timed waits, and a log line sent through the core. Header only: each plugin is its own shared
 * object and includes it.
 */
#ifndef DEMO_COMMON_H
#define DEMO_COMMON_H

#include <dvrcore/plugin_api.h>

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* Log lines travel like the core's own, so the log plugin's mask takes them. */
#define DEMO_LOG_FLAGS (EVF_MEDIA_GATED | EVF_LOG_MESSAGE)
#define DEMO_SUMMARY_INTERVAL_NS 10000000000LL

/* The frame layout: this header, then body byte i is (sequence + i) & 0xFF. */
#define DEMO_FRAME_MAGIC "DEMO"
typedef struct DemoFrameHeader {
    char magic[4];     /* DEMO_FRAME_MAGIC, without a terminator */
    uint32_t kind;     /* EVT_VIDEO or EVT_AUDIO */
    uint32_t sequence; /* per kind, counting every frame offered to the core */
    uint32_t length;   /* the whole frame, header included */
} DemoFrameHeader;

static inline int64_t DemoMonotonicNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static inline struct timespec DemoTimespec(int64_t ns)
{
    struct timespec at;
    at.tv_sec = (time_t)(ns / 1000000000LL);
    at.tv_nsec = (long)(ns % 1000000000LL);
    return at;
}

/* Sends one log line of providerID through the core's callback, from any thread. */
static inline void DemoLogV(PluginEntryPoint callback, uint32_t providerID, int32_t level, const char* format,
                            va_list arguments)
{
    char text[512];
    _EventParmsIn in;
    _EventParmsOut out = DvrEventParmsOut();
    int length = vsnprintf(text, sizeof text, format, arguments);

    if (length <= 0 || callback == NULL)
        return;
    in = DvrLogEvent(providerID, level, text);
    in.eventFlags = DEMO_LOG_FLAGS;
    callback(&in, &out);
}

#endif /* DEMO_COMMON_H */
