/*
 * DemoSource: a synthetic camera and microphone for trying the core out. Once opened, its worker
 * loop sends 25 gated video frames per second (a key frame every 25th, and whenever the core's
 * media gate needs one) and 50 gated audio frames per second on demo channel 1. Every frame starts
 * with a small header carrying its kind and a sequence number counted per kind over every frame
 * offered, so a receiver can tell frames the core refused from frames lost on the way.
 *
 * It counts the core's answers, logs a summary about every 10 s, answers every parent packet
 * addressed to it with one packet "source: N frames sent, ...", and at Close logs its totals and
 * writes them to demo_source.stats in the working folder.
 */
#define _POSIX_C_SOURCE 200809L

#include <dvrcore/plugin_api.h>

#include "demo_common.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define SOURCE_EXPORT __attribute__((visibility("default")))

/* Module index 0x0A0, which no fixed role uses: parent packets with target 0x0A0xxxxx reach it. */
#define SOURCE_PROVIDER_ID 0x00A00000u
#define SOURCE_LOG_LEVEL 25

/* Routing key bit of demo channel 1 (the recorder takes channels 1 to 8, bits 0 to 7). */
#define DEMO_CHANNEL_KEY 0x00000001u
#define MEDIA_FLAGS (EVF_MEDIA_GATED | DEMO_CHANNEL_KEY)

/* One tick every 20 ms carries an audio frame; every second tick carries a video frame too. */
#define TICK_NS 20000000LL
#define KEY_FRAME_INTERVAL 25
#define VIDEO_KEY_FRAME_SIZE 12288u
#define VIDEO_FRAME_SIZE 3072u
#define AUDIO_FRAME_SIZE 640u
/* A loop that falls this far behind skips the missed ticks rather than sending them in a burst. */
#define LATE_LIMIT_NS 1000000000LL

#define STATS_FILE_NAME "demo_source.stats"

/* The core's answers to the frames offered, by kind and result. */
typedef struct SourceTally {
    uint32_t video;
    uint32_t keyFrames;
    uint32_t audio;
    uint32_t accepted;
    uint32_t refused;
    uint32_t noKeyFrame;
    uint32_t gateExpired;
    uint32_t throttled;
    uint32_t noMemory;
    uint32_t other; /* a result this plugin does not know */
} SourceTally;

static PluginEntryPoint coreCallback; /* set by Load, read by every thread afterwards */

/* Guards everything below it; never held while calling the core. wakeUp (CLOCK_MONOTONIC) wakes the
 * worker for Open and Close, and wakes Close once the worker has left its loop. */
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wakeUp;
static int opened;
static int closing;
static int workerRunning;
static SourceTally total;
static SourceTally interval; /* since the last summary line */

/* The worker's own sending state; touched by the worker thread only. */
static uint32_t videoSequence;
static uint32_t audioSequence;
static uint32_t videoSinceKeyFrame; /* frames offered since the last key frame, that one included */
static int needKeyFrame;            /* the gate has forgotten the last key frame */

/* Sends one log line through the core, from any thread. */
static void Log(int32_t level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    DemoLogV(coreCallback, SOURCE_PROVIDER_ID, level, format, arguments);
    va_end(arguments);
}

/* Fills frame with a frame of the given kind, sequence and length (at least the header's size). */
static void FillFrame(uint8_t* frame, uint32_t kind, uint32_t sequence, uint32_t length)
{
    DemoFrameHeader header;
    uint32_t i;

    memcpy(header.magic, DEMO_FRAME_MAGIC, sizeof header.magic);
    header.kind = kind;
    header.sequence = sequence;
    header.length = length;
    memcpy(frame, &header, sizeof header);
    for (i = sizeof header; i < length; ++i)
        frame[i] = (uint8_t)(sequence + i);
}

/* Offers one frame to the core and returns its answer. The core copies the bytes. */
static int32_t SendFrame(uint8_t* frame, uint32_t kind, uint32_t sequence, uint32_t length, uint8_t keyFrame)
{
    _EventParmsIn in = DvrFrameEvent(SOURCE_PROVIDER_ID, kind, MEDIA_FLAGS, frame, length, keyFrame);
    _EventParmsOut out = DvrEventParmsOut();

    FillFrame(frame, kind, sequence, length);
    coreCallback(&in, &out);
    return out.result;
}

static void Count(SourceTally* tally, uint32_t kind, int keyFrame, int32_t result)
{
    if (kind == EVT_VIDEO) {
        ++tally->video;
        if (keyFrame)
            ++tally->keyFrames;
    } else {
        ++tally->audio;
    }
    switch (result) {
    case EVENT_ACCEPTED: ++tally->accepted; break;
    case EVENT_REFUSED: ++tally->refused; break;
    case EVENT_NO_KEY_FRAME: ++tally->noKeyFrame; break;
    case EVENT_GATE_EXPIRED: ++tally->gateExpired; break;
    case EVENT_THROTTLED: ++tally->throttled; break;
    case EVENT_NO_MEMORY: ++tally->noMemory; break;
    default: ++tally->other; break;
    }
}

static void Record(uint32_t kind, int keyFrame, int32_t result)
{
    pthread_mutex_lock(&stateLock);
    Count(&total, kind, keyFrame, result);
    Count(&interval, kind, keyFrame, result);
    pthread_mutex_unlock(&stateLock);
}

/* Worker thread. A key frame goes out every KEY_FRAME_INTERVAL frames, and next after any answer
 * that means the gate dropped its state for this provider (throttling, a missing or expired key). */
static void SendVideo(uint8_t* frame)
{
    int keyFrame = needKeyFrame || videoSinceKeyFrame >= KEY_FRAME_INTERVAL;
    int32_t result;

    if (keyFrame)
        videoSinceKeyFrame = 0;
    ++videoSinceKeyFrame;
    result = SendFrame(frame, EVT_VIDEO, videoSequence++, keyFrame ? VIDEO_KEY_FRAME_SIZE : VIDEO_FRAME_SIZE,
                       (uint8_t)keyFrame);
    if (result == EVENT_THROTTLED || result == EVENT_NO_KEY_FRAME || result == EVENT_GATE_EXPIRED)
        needKeyFrame = 1;
    else if (result == EVENT_ACCEPTED)
        needKeyFrame = 0;
    Record(EVT_VIDEO, keyFrame, result);
}

/* Worker thread. */
static void SendAudio(uint8_t* frame)
{
    Record(EVT_AUDIO, 0, SendFrame(frame, EVT_AUDIO, audioSequence++, AUDIO_FRAME_SIZE, 0));
}

static void LogTally(const char* what, const SourceTally* tally)
{
    Log(SOURCE_LOG_LEVEL,
        "%s: sent %u video (%u key) and %u audio frames; accepted %u, refused %u, no key frame %u, "
        "gate expired %u, throttled %u, no memory %u, other %u",
        what, tally->video, tally->keyFrames, tally->audio, tally->accepted, tally->refused, tally->noKeyFrame,
        tally->gateExpired, tally->throttled, tally->noMemory, tally->other);
}

/* Worker thread, between ticks: logs and restarts the interval tally once it is due. */
static void LogSummaryIfDue(int64_t now, int64_t* nextSummary)
{
    SourceTally last;

    if (now < *nextSummary)
        return;
    *nextSummary = now + DEMO_SUMMARY_INTERVAL_NS;
    pthread_mutex_lock(&stateLock);
    last = interval;
    memset(&interval, 0, sizeof interval);
    pthread_mutex_unlock(&stateLock);
    LogTally("last 10 s", &last);
}

/* IOCTL_WORKER on the core's worker thread: waits for Open, then sends one tick's frames every
 * TICK_NS until Close. Close is noticed within one tick, since every wait is timed or woken. */
static int RunWorker(void)
{
    uint8_t* frame = malloc(VIDEO_KEY_FRAME_SIZE);
    int64_t nextTick;
    int64_t nextSummary;
    uint32_t tick = 0;

    if (frame == NULL)
        return 1;
    pthread_mutex_lock(&stateLock);
    workerRunning = 1;
    while (!opened && !closing)
        pthread_cond_wait(&wakeUp, &stateLock);
    nextTick = DemoMonotonicNs();
    nextSummary = nextTick + DEMO_SUMMARY_INTERVAL_NS;
    while (!closing) {
        int64_t now = DemoMonotonicNs();
        if (now < nextTick) {
            struct timespec until = DemoTimespec(nextTick);
            pthread_cond_timedwait(&wakeUp, &stateLock, &until);
            continue;
        }
        pthread_mutex_unlock(&stateLock);
        SendAudio(frame);
        if (tick++ % 2 == 0)
            SendVideo(frame);
        nextTick += TICK_NS;
        if (now - nextTick > LATE_LIMIT_NS)
            nextTick = now;
        LogSummaryIfDue(now, &nextSummary);
        pthread_mutex_lock(&stateLock);
    }
    workerRunning = 0;
    pthread_cond_broadcast(&wakeUp);
    pthread_mutex_unlock(&stateLock);
    free(frame);
    return 0;
}

/* IOCTL_PARENT on the I/O thread: one packet back with the totals so far. The block passes to the
 * core, which frees it once sent. */
static int AnswerParent(void)
{
    SourceTally now;
    char text[128];
    _EventParmsIn in;
    _EventParmsOut out = DvrEventParmsOut();
    void* block;
    int length;

    pthread_mutex_lock(&stateLock);
    now = total;
    pthread_mutex_unlock(&stateLock);
    length = snprintf(text, sizeof text, "source: %u frames sent, %u accepted, %u dropped", now.video + now.audio,
                      now.accepted, now.video + now.audio - now.accepted);
    if (length <= 0)
        return 1;
    block = malloc((size_t)length);
    if (block == NULL)
        return 1;
    memcpy(block, text, (size_t)length);
    in = DvrParentSendEvent(SOURCE_PROVIDER_ID, block, (uint32_t)length);
    coreCallback(&in, &out);
    return 0;
}

static void WriteStatsFile(const SourceTally* tally)
{
    FILE* file = fopen(STATS_FILE_NAME, "w");
    if (file == NULL)
        return;
    fprintf(file,
            "video %u\nkeyFrames %u\naudio %u\naccepted %u\nrefused %u\nnoKeyFrame %u\ngateExpired %u\n"
            "throttled %u\nnoMemory %u\nother %u\n",
            tally->video, tally->keyFrames, tally->audio, tally->accepted, tally->refused, tally->noKeyFrame,
            tally->gateExpired, tally->throttled, tally->noMemory, tally->other);
    fclose(file);
}

SOURCE_EXPORT int Load(void* in, void* out)
{
    _LoadParmsIn* parms = (_LoadParmsIn*)in;
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    pthread_condattr_t attributes;

    if (parms == NULL || self == NULL || self->size < sizeof(_LoadParmsOut))
        return 1;
    /* A second load of this object starts from scratch. */
    coreCallback = parms->callback;
    opened = closing = workerRunning = 0;
    memset(&total, 0, sizeof total);
    memset(&interval, 0, sizeof interval);
    videoSequence = audioSequence = videoSinceKeyFrame = 0;
    needKeyFrame = 1;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wakeUp, &attributes);
    pthread_condattr_destroy(&attributes);

    self->providerID = SOURCE_PROVIDER_ID;
    self->wantsWorkerThread = 1;
    self->logLevelDefault = SOURCE_LOG_LEVEL;
    return 0;
}

SOURCE_EXPORT int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_cond_destroy(&wakeUp);
    return 0;
}

SOURCE_EXPORT int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&stateLock);
    opened = 1;
    pthread_cond_broadcast(&wakeUp);
    pthread_mutex_unlock(&stateLock);
    Log(SOURCE_LOG_LEVEL,
        "sending %d video frames per second (a key frame every %d) and %d audio frames per second on channel 1",
        (int)(1000000000LL / (2 * TICK_NS)), KEY_FRAME_INTERVAL, (int)(1000000000LL / TICK_NS));
    return 0;
}

/* Ends the worker loop and waits until it has left, so the totals are final. */
SOURCE_EXPORT int Close(void* in, void* out)
{
    SourceTally final;
    (void)in;
    (void)out;
    pthread_mutex_lock(&stateLock);
    closing = 1;
    pthread_cond_broadcast(&wakeUp);
    while (workerRunning)
        pthread_cond_wait(&wakeUp, &stateLock);
    final = total;
    pthread_mutex_unlock(&stateLock);
    LogTally("closing after", &final);
    WriteStatsFile(&final);
    return 0;
}

SOURCE_EXPORT int IOCTL(void* in, void* out)
{
    _IoctlParmsIn* parms = (_IoctlParmsIn*)in;
    (void)out;
    if (parms == NULL)
        return 1;
    if (parms->command == IOCTL_WORKER)
        return RunWorker();
    if (parms->command == IOCTL_PARENT && parms->len >= PARENT_PACKET_HEADER_SIZE)
        return AnswerParent();
    return 0;
}
