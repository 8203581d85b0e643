/*
 * plugin_soak: the soak test's load. Provider ID 0x00330000. From its worker thread it sends gated
 * video frames as fast as the core delivers them, with at most IN_FLIGHT queued (a key frame every
 * 30, and next after any refusal), each numbered; every second it opens a stream, whose reader thread sends numbered
 * data events on it; every 2 s it sends a configuration change document that moves the demo source's threshold. Its
 * Write takes its own frames and stream events back and checks that each arrives exactly once: one sender per stream of
 * numbers and one queue mean each must arrive in increasing order, so a count equal to the accepted count with no
 * number repeated or out of order is exactly once. At Unload it writes "key value" lines to soak.out in the working
 * folder: frames_accepted, frames_received, frames_disordered, frames_throttled, stream_accepted, stream_received,
 * stream_disordered, streams, changes.
 */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define SOAK_EXPORT __attribute__((visibility("default")))
#define SOAK_ID 0x00330000u
/* Routing key bit 8: outside the demo recorder's mask, so only this plugin takes these frames. */
#define FRAME_FLAGS (EVF_MEDIA_GATED | 0x00000100u)
#define STREAM_CLASS 0x0010u
#define STREAM_FLAGS 0x00000200u
#define STREAM_EVENTS 200
#define MAX_STREAMS 65536
#define IN_FLIGHT 2000

static PluginEntryPoint coreCallback; /* set by Load */

/* Guards everything below; never held while calling the core. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static int closing;
static int64_t lastFrame = -1;            /* the last frame number received */
static int64_t lastOnStream[MAX_STREAMS]; /* per stream ID: the last event number received, or -1 */
static long framesAccepted, framesReceived, framesDisordered, framesThrottled; /* lock */
static long streamAccepted, streamReceived, streamDisordered, streams, changes;

static int Closing(void)
{
    int value;
    pthread_mutex_lock(&lock);
    value = closing;
    pthread_mutex_unlock(&lock);
    return value;
}

/* Raises one event through the core and returns its answer. */
static int32_t Send(_EventParmsIn event)
{
    _EventParmsOut result = DvrEventParmsOut();
    coreCallback(&event, &result);
    return result.result;
}

/* An event carrying data, on stream (0 for none); with provider 0 it opens the stream. */
static _EventParmsIn DataEvent(uint32_t provider, uint32_t type, uint32_t flags, uint32_t stream, void* data,
                               uint32_t len)
{
    _EventParmsIn event = DvrEventParmsIn(provider, type, flags);
    event.streamID = stream;
    event.data = data;
    event.len = len;
    return event;
}

static void SleepMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

static int64_t NowMs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* The worker: frames at full speed, a stream a second, a change document every 2 s. */
static void RunWorker(void)
{
    uint32_t sequence = 0;
    int sinceKey = 0;
    int needKey = 1;
    int64_t nextStream = NowMs();
    int64_t nextChange = NowMs();
    uint32_t streamID = 1;
    int level = 30;

    while (!Closing()) {
        uint32_t frame[64];
        int key = needKey || sinceKey >= 30;
        int32_t answer;
        int64_t now;
        memset(frame, 0, sizeof frame);
        frame[0] = sequence;
        answer = Send(DvrFrameEvent(SOAK_ID, EVT_VIDEO, FRAME_FLAGS, frame, sizeof frame, key));
        sinceKey = key ? 1 : sinceKey + 1;
        pthread_mutex_lock(&lock);
        if (answer == EVENT_ACCEPTED)
            ++framesAccepted;
        if (answer == EVENT_THROTTLED)
            ++framesThrottled;
        pthread_mutex_unlock(&lock);
        needKey = answer != EVENT_ACCEPTED;
        ++sequence;
        if (answer == EVENT_THROTTLED)
            SleepMs(1); /* nothing gets through while the core throttles: do not spin */
        /* At most IN_FLIGHT frames queued: the soak looks for leaks, not for an ever-growing queue. */
        for (;;) {
            long queued;
            pthread_mutex_lock(&lock);
            queued = framesAccepted - framesReceived;
            pthread_mutex_unlock(&lock);
            if (queued < IN_FLIGHT || Closing())
                break;
            SleepMs(1);
        }

        now = NowMs();
        if (now >= nextStream) {
            char request[32];
            snprintf(request, sizeof request, "stream %u", streamID);
            Send(DataEvent(0, STREAM_CLASS, STREAM_FLAGS, streamID, request, (uint32_t)strlen(request) + 1));
            streamID = streamID % (MAX_STREAMS - 1) + 1;
            pthread_mutex_lock(&lock);
            ++streams;
            pthread_mutex_unlock(&lock);
            nextStream = now + 1000;
        }
        if (now >= nextChange) {
            char change[160];
            level = level == 30 ? 40 : 30;
            snprintf(
                change, sizeof change,
                "<Change Delta=\"1\"><Modules><Module><Plugin ID=\"%d\" LogLevel=\"%d\"/></Module></Modules></Change>",
                (int)0x00A00000, level);
            if (Send(DataEvent(SOAK_ID, EVT_CONFIG, 0x10, 0, change, (uint32_t)strlen(change))) == EVENT_ACCEPTED) {
                pthread_mutex_lock(&lock);
                ++changes;
                pthread_mutex_unlock(&lock);
            }
            nextChange = now + 2000;
        }
    }
}

SOAK_EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    coreCallback = ((_LoadParmsIn*)in)->callback;
    memset(lastOnStream, 0xFF, sizeof lastOnStream); /* -1 everywhere */
    self->providerID = SOAK_ID;
    self->classMasks[0] = (EVF_MEDIA_GATED << 1) | 0x00000100u; /* its own frames */
    self->classMasks[4] = STREAM_FLAGS | 0x00000100u;           /* class 0x10: stream data */
    self->wantsWorkerThread = 1;
    self->wantsReads = 1;
    self->acceptsWrites = 1;
    return 0;
}

SOAK_EXPORT int IOCTL(void* in, void* out)
{
    (void)out;
    if (((_IoctlParmsIn*)in)->command == IOCTL_WORKER)
        RunWorker();
    return 0;
}

/* A stream's reader thread: numbered data events on the stream, one block in flight at a time. */
SOAK_EXPORT int Read(void* in, void* out)
{
    _ReadParmsIn* parms = (_ReadParmsIn*)in;
    int i;
    (void)out;
    if (parms->streamID == 0)
        return 0; /* the asynchronous read thread has nothing to do */
    for (i = 0; i < STREAM_EVENTS && !Closing(); ++i) {
        uint32_t data[32];
        memset(data, 0, sizeof data);
        data[0] = (uint32_t)i;
        if (Send(DataEvent(SOAK_ID, STREAM_CLASS, 0x00000100u, parms->streamID, data, sizeof data)) == EVENT_ACCEPTED) {
            pthread_mutex_lock(&lock);
            ++streamAccepted;
            pthread_mutex_unlock(&lock);
        }
    }
    return 0;
}

SOAK_EXPORT int Write(void* in, void* out)
{
    _WriteParmsIn* event = (_WriteParmsIn*)in;
    uint32_t number;
    (void)out;
    if (event->providerID != SOAK_ID || event->data == NULL || event->len < sizeof number)
        return 0;
    memcpy(&number, event->data, sizeof number);
    pthread_mutex_lock(&lock);
    if (event->eventType == EVT_VIDEO) {
        ++framesReceived;
        if ((int64_t)number <= lastFrame)
            ++framesDisordered;
        lastFrame = number;
    } else if (event->eventType == STREAM_CLASS && event->streamID < MAX_STREAMS) {
        int64_t* last = &lastOnStream[event->streamID];
        ++streamReceived;
        /* A stream ID reused after the counter wrapped starts again at 0. */
        if ((int64_t)number <= *last && number != 0)
            ++streamDisordered;
        *last = number;
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

SOAK_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_mutex_unlock(&lock);
    return 0;
}

SOAK_EXPORT int Unload(void* in, void* out)
{
    FILE* file = fopen("soak.out", "w");
    (void)in;
    (void)out;
    if (file != NULL) {
        fprintf(file,
                "frames_accepted %ld\nframes_received %ld\nframes_disordered %ld\nframes_throttled %ld\n"
                "stream_accepted %ld\nstream_received %ld\nstream_disordered %ld\nstreams %ld\nchanges %ld\n",
                framesAccepted, framesReceived, framesDisordered, framesThrottled, streamAccepted, streamReceived,
                streamDisordered, streams, changes);
        fclose(file);
    }
    return 0;
}
