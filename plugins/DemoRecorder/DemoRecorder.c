/*
 * DemoRecorder: a stand-in for a recorder, the receiving end of DemoSource. It takes the gated
 * video and audio frames of demo channels 1 to 8 through Write, checks each frame's header and
 * body, and follows each sender's sequence numbers to count the frames that never arrived. Like a
 * recorder holding the start of the current picture group, it keeps the block of each key frame
 * (up to KEPT_LIMIT at a time) and gives it back to the core from its worker loop after KEEP_NS;
 * at Close it gives back every block it still holds.
 *
 * It logs a summary about every 10 s, answers every parent packet addressed to it with one packet
 * "recorder: N frames, ...", and at Close logs its totals and writes them to demo_recorder.stats
 * in the working folder.
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

#define RECORDER_EXPORT __attribute__((visibility("default")))

/* Module index 0x0A1, which no fixed role uses: parent packets with target 0x0A1xxxxx reach it. */
#define RECORDER_PROVIDER_ID 0x00A10000u
#define RECORDER_LOG_LEVEL 25

/* Class masks for video (class 0x1) and audio (class 0x2): the routing key of a gated frame of
 * channels 1 to 8 (bits 0 to 7), with the gated attribute as the core moves it for delivery. */
#define DEMO_CHANNEL_KEYS 0x000000FFu
#define MEDIA_MASK ((EVF_MEDIA_GATED << 1) | DEMO_CHANNEL_KEYS)
#define VIDEO_CLASS 0
#define AUDIO_CLASS 1

#define KEPT_LIMIT 16        /* key frame blocks held at one time */
#define KEEP_NS 2000000000LL /* how long a key frame block is held */
#define RELEASE_POLL_NS 200000000LL
#define STREAM_LIMIT 8 /* senders and kinds whose sequence numbers are followed */

#define STATS_FILE_NAME "demo_recorder.stats"

/* What arrived, and what became of the kept blocks. */
typedef struct RecorderTally {
    uint32_t video; /* intact frames, by kind */
    uint32_t keyFrames;
    uint32_t audio;
    uint64_t bytes;     /* of intact frames */
    uint32_t missing;   /* sequence numbers skipped: frames the core refused or lost */
    uint32_t reordered; /* frames older than one already received */
    uint32_t damaged;   /* frames whose header or body is wrong, and events too short for a header */
    uint32_t kept;      /* blocks kept through the Write result */
    uint32_t released;  /* blocks given back with EVT_RELEASE */
} RecorderTally;

typedef struct KeptBlock {
    void* data;     /* the core's block, given back with EVT_RELEASE */
    int64_t keptAt; /* CLOCK_MONOTONIC, ns */
} KeptBlock;

/* The next sequence number expected from one sender for one kind. */
typedef struct StreamState {
    uint32_t providerID;
    uint32_t kind;
    uint32_t nextSequence;
} StreamState;

static PluginEntryPoint coreCallback; /* set by Load, read by every thread afterwards */

/* Guards everything below it; never held while calling the core. Write (on the core's queue
 * worker), the worker loop, IOCTL_PARENT (on the I/O thread) and Close all meet here. wakeUp
 * (CLOCK_MONOTONIC) wakes the worker for Close, and wakes Close once the worker has left. */
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wakeUp;
static int closing;
static int workerRunning;
static RecorderTally total;
static RecorderTally interval; /* since the last summary line */
static KeptBlock keptBlocks[KEPT_LIMIT];
static unsigned keptCount; /* keptBlocks[0 .. keptCount - 1], oldest first */
static StreamState streams[STREAM_LIMIT];
static unsigned streamCount;

/* Sends one log line through the core, from any thread. */
static void Log(int32_t level, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    DemoLogV(coreCallback, RECORDER_PROVIDER_ID, level, format, arguments);
    va_end(arguments);
}

/* Gives one kept block back to the core. Called without stateLock. */
static void ReleaseBlock(void* data)
{
    _EventParmsIn in = DvrReleaseEvent(RECORDER_PROVIDER_ID, data);
    _EventParmsOut out = DvrEventParmsOut();
    coreCallback(&in, &out);
}

/* Takes the kept blocks held since before heldBefore (all of them for INT64_MAX) out of the list
 * into taken, and returns how many. Caller holds stateLock. */
static unsigned TakeKeptBlocks(int64_t heldBefore, void* taken[KEPT_LIMIT])
{
    unsigned count = 0;
    while (count < keptCount && keptBlocks[count].keptAt < heldBefore) {
        taken[count] = keptBlocks[count].data;
        ++count;
    }
    memmove(keptBlocks, keptBlocks + count, (keptCount - count) * sizeof keptBlocks[0]);
    keptCount -= count;
    return count;
}

/* Releases the taken blocks and counts them. Called without stateLock. */
static void ReleaseTaken(void* taken[KEPT_LIMIT], unsigned count)
{
    unsigned i;
    if (count == 0)
        return;
    for (i = 0; i < count; ++i)
        ReleaseBlock(taken[i]);
    pthread_mutex_lock(&stateLock);
    total.released += count;
    interval.released += count;
    pthread_mutex_unlock(&stateLock);
}

/* True when data holds an intact demo frame of the given kind; fills header then. */
static int FrameIsIntact(const uint8_t* data, uint32_t len, uint32_t kind, DemoFrameHeader* header)
{
    uint32_t i;
    if (data == NULL || len < sizeof *header)
        return 0;
    memcpy(header, data, sizeof *header);
    if (memcmp(header->magic, DEMO_FRAME_MAGIC, sizeof header->magic) != 0 || header->kind != kind ||
        header->length != len)
        return 0;
    for (i = sizeof *header; i < len; ++i)
        if (data[i] != (uint8_t)(header->sequence + i))
            return 0;
    return 1;
}

/* The sequence state of one sender and kind, created on first sight; null once the table is full.
 * Caller holds stateLock. */
static StreamState* FindStream(uint32_t providerID, uint32_t kind, uint32_t firstSequence)
{
    unsigned i;
    for (i = 0; i < streamCount; ++i)
        if (streams[i].providerID == providerID && streams[i].kind == kind)
            return &streams[i];
    if (streamCount == STREAM_LIMIT)
        return NULL;
    streams[streamCount].providerID = providerID;
    streams[streamCount].kind = kind;
    streams[streamCount].nextSequence = firstSequence;
    return &streams[streamCount++];
}

/* Counts one intact frame into both tallies. Caller holds stateLock. */
static void CountFrame(uint32_t kind, int keyFrame, uint32_t len, uint32_t missing, int reordered)
{
    RecorderTally* tallies[2] = {&total, &interval};
    unsigned i;
    for (i = 0; i < 2; ++i) {
        if (kind == EVT_VIDEO)
            ++tallies[i]->video;
        else
            ++tallies[i]->audio;
        tallies[i]->keyFrames += keyFrame ? 1u : 0u;
        tallies[i]->bytes += len;
        tallies[i]->missing += missing;
        tallies[i]->reordered += reordered ? 1u : 0u;
    }
}

static void LogTally(const char* what, const RecorderTally* tally, unsigned holding)
{
    Log(RECORDER_LOG_LEVEL,
        "%s: received %u video (%u key) and %u audio frames, %llu KiB; missing %u, reordered %u, damaged %u; "
        "kept %u, released %u, holding %u",
        what, tally->video, tally->keyFrames, tally->audio, (unsigned long long)(tally->bytes / 1024), tally->missing,
        tally->reordered, tally->damaged, tally->kept, tally->released, holding);
}

/* IOCTL_WORKER on the core's worker thread: gives back blocks held for KEEP_NS and logs a summary
 * every DEMO_SUMMARY_INTERVAL_NS, until Close. Every wait is timed or woken, so Close is noticed at once. */
static int RunWorker(void)
{
    int64_t nextSummary = DemoMonotonicNs() + DEMO_SUMMARY_INTERVAL_NS;

    pthread_mutex_lock(&stateLock);
    workerRunning = 1;
    while (!closing) {
        void* taken[KEPT_LIMIT];
        int64_t now = DemoMonotonicNs();
        struct timespec until = DemoTimespec(now + RELEASE_POLL_NS);
        unsigned count = TakeKeptBlocks(now - KEEP_NS, taken);
        RecorderTally last;
        int summaryDue = now >= nextSummary;
        unsigned holding = keptCount;

        pthread_mutex_unlock(&stateLock);
        ReleaseTaken(taken, count);
        if (summaryDue) {
            nextSummary = now + DEMO_SUMMARY_INTERVAL_NS;
            pthread_mutex_lock(&stateLock);
            last = interval;
            memset(&interval, 0, sizeof interval);
            pthread_mutex_unlock(&stateLock);
            LogTally("last 10 s", &last, holding);
        }
        pthread_mutex_lock(&stateLock);
        if (!closing)
            pthread_cond_timedwait(&wakeUp, &stateLock, &until);
    }
    workerRunning = 0;
    pthread_cond_broadcast(&wakeUp);
    pthread_mutex_unlock(&stateLock);
    return 0;
}

/* IOCTL_PARENT on the I/O thread: one packet back with the totals so far. The block passes to the
 * core, which frees it once sent. */
static int AnswerParent(void)
{
    RecorderTally now;
    unsigned holding;
    char text[128];
    _EventParmsIn in;
    _EventParmsOut out = DvrEventParmsOut();
    void* block;
    int length;

    pthread_mutex_lock(&stateLock);
    now = total;
    holding = keptCount;
    pthread_mutex_unlock(&stateLock);
    length = snprintf(text, sizeof text, "recorder: %u frames, %u missing, %u damaged, holding %u",
                      now.video + now.audio, now.missing, now.damaged, holding);
    if (length <= 0)
        return 1;
    block = malloc((size_t)length);
    if (block == NULL)
        return 1;
    memcpy(block, text, (size_t)length);
    in = DvrParentSendEvent(RECORDER_PROVIDER_ID, block, (uint32_t)length);
    coreCallback(&in, &out);
    return 0;
}

static void WriteStatsFile(const RecorderTally* tally, unsigned holding)
{
    FILE* file = fopen(STATS_FILE_NAME, "w");
    if (file == NULL)
        return;
    fprintf(file,
            "video %u\nkeyFrames %u\naudio %u\nbytes %llu\nmissing %u\nreordered %u\ndamaged %u\nkept %u\n"
            "released %u\nholding %u\n",
            tally->video, tally->keyFrames, tally->audio, (unsigned long long)tally->bytes, tally->missing,
            tally->reordered, tally->damaged, tally->kept, tally->released, holding);
    fclose(file);
}

RECORDER_EXPORT int Load(void* in, void* out)
{
    _LoadParmsIn* parms = (_LoadParmsIn*)in;
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    pthread_condattr_t attributes;

    if (parms == NULL || self == NULL || self->size < sizeof(_LoadParmsOut))
        return 1;
    /* A second load of this object starts from scratch. */
    coreCallback = parms->callback;
    closing = workerRunning = 0;
    memset(&total, 0, sizeof total);
    memset(&interval, 0, sizeof interval);
    keptCount = streamCount = 0;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wakeUp, &attributes);
    pthread_condattr_destroy(&attributes);

    self->providerID = RECORDER_PROVIDER_ID;
    self->classMasks[VIDEO_CLASS] = MEDIA_MASK;
    self->classMasks[AUDIO_CLASS] = MEDIA_MASK;
    self->wantsWorkerThread = 1;
    self->acceptsWrites = 1;
    self->logLevelDefault = RECORDER_LOG_LEVEL;
    return 0;
}

RECORDER_EXPORT int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_cond_destroy(&wakeUp);
    return 0;
}

RECORDER_EXPORT int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    Log(RECORDER_LOG_LEVEL, "recording the video and audio frames of channels 1 to 8; key frames are kept for %d s",
        (int)(KEEP_NS / 1000000000LL));
    return 0;
}

/* Ends the worker loop, waits until it has left and gives back every block still kept, so the
 * totals are final and the core's table holds nothing of this plugin's any more. */
RECORDER_EXPORT int Close(void* in, void* out)
{
    void* taken[KEPT_LIMIT];
    unsigned count;
    RecorderTally final;
    unsigned holding;
    (void)in;
    (void)out;

    pthread_mutex_lock(&stateLock);
    closing = 1;
    pthread_cond_broadcast(&wakeUp);
    while (workerRunning)
        pthread_cond_wait(&wakeUp, &stateLock);
    count = TakeKeptBlocks(INT64_MAX, taken);
    pthread_mutex_unlock(&stateLock);
    ReleaseTaken(taken, count);

    pthread_mutex_lock(&stateLock);
    final = total;
    holding = keptCount;
    pthread_mutex_unlock(&stateLock);
    LogTally("closing after", &final, holding);
    WriteStatsFile(&final, holding);
    return 0;
}

/* The core's queue worker: one delivered frame. Anything but a demo frame of the right kind counts
 * as damaged; an intact key frame is kept while there is room and the plugin is not closing. */
RECORDER_EXPORT int Write(void* in, void* out)
{
    const _WriteParmsIn* event = (const _WriteParmsIn*)in;
    _WriteParmsOut* result = (_WriteParmsOut*)out;
    DemoFrameHeader header;
    StreamState* stream;
    uint32_t kind;
    uint32_t missing = 0;
    int reordered = 0;
    int keyFrame;
    int intact;

    if (event == NULL || result == NULL)
        return 1;
    if ((event->eventType & (EVT_VIDEO | EVT_AUDIO)) == 0)
        return 0;
    kind = (event->eventType & EVT_VIDEO) != 0 ? EVT_VIDEO : EVT_AUDIO;
    keyFrame = kind == EVT_VIDEO && event->extra[EVENT_EXTRA_KEY_FRAME] == 1;
    intact = FrameIsIntact((const uint8_t*)event->data, event->len, kind, &header);

    pthread_mutex_lock(&stateLock);
    if (!intact) {
        ++total.damaged;
        ++interval.damaged;
        pthread_mutex_unlock(&stateLock);
        return 0;
    }
    stream = FindStream(event->providerID, kind, header.sequence);
    if (stream != NULL) {
        /* An older frame does not move the expectation back, or the frames after it would count twice. */
        if (header.sequence >= stream->nextSequence) {
            missing = header.sequence - stream->nextSequence;
            stream->nextSequence = header.sequence + 1;
        } else {
            reordered = 1;
        }
    }
    CountFrame(kind, keyFrame, event->len, missing, reordered);
    if (keyFrame && !closing && keptCount < KEPT_LIMIT) {
        keptBlocks[keptCount].data = event->data;
        keptBlocks[keptCount].keptAt = DemoMonotonicNs();
        ++keptCount;
        ++total.kept;
        ++interval.kept;
        result->keep = 1;
    }
    pthread_mutex_unlock(&stateLock);
    return 0;
}

RECORDER_EXPORT int IOCTL(void* in, void* out)
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
