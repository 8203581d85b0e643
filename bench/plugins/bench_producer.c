/*
 * bench_producer: the benchmark's sending side. From its worker thread it runs the mode the driver
 * chose (see bench_state.h), sending through the core's callback exactly as a video plugin does,
 * then writes the run's figures and waits to be closed.
 */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "bench_state.h"

#define DROPPED_LEVEL 10 /* below the producer's threshold of 50 in the driver's core.xml */
#define WRITTEN_LEVEL 60

static PluginEntryPoint coreCallback; /* set by Load */

/* Guards closing. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closed = PTHREAD_COND_INITIALIZER;
static int closing;

/* The producer's records are the SDK's, filled as any plugin fills them. */
static int32_t Submit(_EventParmsIn* event)
{
    _EventParmsOut result = DvrEventParmsOut();
    coreCallback(event, &result);
    return result.result;
}

static int32_t Send(uint32_t type, uint32_t flags, void* data, uint32_t len, int keyFrame)
{
    _EventParmsIn event = DvrFrameEvent(BENCH_PRODUCER_ID, type, flags, data, len, keyFrame);
    return Submit(&event);
}

static int32_t SendLog(int level, const char* text)
{
    _EventParmsIn event = DvrLogEvent(BENCH_PRODUCER_ID, level, text);
    return Submit(&event);
}

static void* NewPayload(uint32_t size)
{
    void* payload = malloc(size != 0 ? size : 1);
    if (payload == NULL) {
        fprintf(stderr, "bench_producer: no memory for a %u-byte payload\n", size);
        exit(3);
    }
    memset(payload, 0x5A, size);
    return payload;
}

typedef struct Sender {
    pthread_t thread;
    uint64_t count;
    uint64_t refused;
} Sender;

/* One producer thread of the throughput run. */
static void* SendFrames(void* argument)
{
    Sender* sender = argument;
    uint32_t size = BenchGetSettings()->size;
    void* payload = size != 0 ? NewPayload(size) : NULL;
    uint64_t i;
    BenchStartClock();
    for (i = 0; i < sender->count; ++i) {
        BenchTakeSlot();
        if (Send(EVT_VIDEO, BENCH_FRAME_FLAGS, payload, size, 0) != EVENT_ACCEPTED) {
            BenchGiveSlot();
            ++sender->refused;
            --i; /* every counted event must be delivered for the run to end */
        }
    }
    free(payload);
    return NULL;
}

static void RunThroughput(const BenchSettings* run)
{
    Sender senders[64];
    int n = run->producers < 64 ? run->producers : 64;
    uint64_t refused = 0;
    int i;
    for (i = 0; i < n; ++i) {
        senders[i].count = run->count / (uint64_t)n + (i == 0 ? run->count % (uint64_t)n : 0);
        senders[i].refused = 0;
        pthread_create(&senders[i].thread, NULL, SendFrames, &senders[i]);
    }
    for (i = 0; i < n; ++i) {
        pthread_join(senders[i].thread, NULL);
        refused += senders[i].refused;
    }
    BenchWaitForEnd();
    BenchRecord("refused", (double)refused);
}

static void SleepUntil(int64_t ns)
{
    struct timespec at = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, NULL) != 0) {
    }
}

static void RunLatency(const BenchSettings* run)
{
    uint32_t size = run->size >= sizeof(int64_t) ? run->size : (uint32_t)sizeof(int64_t);
    unsigned char* payload = NewPayload(size);
    int64_t period = (int64_t)(1e9 / (run->rate > 0 ? run->rate : 1000.0));
    int64_t next = BenchNowNs() + period;
    uint64_t i;
    BenchStartClock();
    for (i = 0; i < run->count; ++i) {
        int64_t stamp;
        SleepUntil(next);
        next += period;
        BenchTakeSlot();
        stamp = BenchNowNs();
        memcpy(payload, &stamp, sizeof stamp);
        if (Send(EVT_VIDEO, BENCH_FRAME_FLAGS, payload, size, 0) != EVENT_ACCEPTED) {
            BenchGiveSlot();
            --i;
        }
    }
    free(payload);
    BenchWaitForEnd();
}

static void RunLog(const BenchSettings* run)
{
    const char* line = "bench line: a log text of typical length, with a number 1234567 and a name";
    int64_t started = BenchNowNs();
    uint64_t i;
    for (i = 0; i < run->count; ++i)
        SendLog(DROPPED_LEVEL, line);
    BenchRecord("dropped_log_ns", (double)(BenchNowNs() - started) / (double)run->count);
    BenchStartClock();
    for (i = 0; i < run->count; ++i) {
        BenchTakeSlot();
        if (SendLog(WRITTEN_LEVEL, line) != EVENT_ACCEPTED) {
            BenchGiveSlot();
            --i;
        }
    }
    BenchWaitForEnd();
}

static void RunFlood(const BenchSettings* run)
{
    void* payload = NewPayload(run->size);
    int64_t end = BenchNowNs() + (int64_t)(run->seconds * 1e9);
    uint64_t answers[3] = {0, 0, 0}; /* accepted, throttled, other */
    int needKey = 1;
    int sinceKey = 0;
    while (BenchNowNs() < end) {
        int key = needKey || sinceKey >= 30;
        int32_t answer = Send(EVT_VIDEO, BENCH_FRAME_FLAGS | EVF_MEDIA_GATED, payload, run->size, key);
        sinceKey = key ? 1 : sinceKey + 1;
        needKey = answer != EVENT_ACCEPTED;
        ++answers[answer == EVENT_ACCEPTED ? 0 : answer == EVENT_THROTTLED ? 1 : 2];
        if (answer == EVENT_THROTTLED) {
            struct timespec pause = {0, 1000000}; /* nothing gets through while the core throttles */
            nanosleep(&pause, NULL);
        }
    }
    free(payload);
    BenchRecord("accepted", (double)answers[0]);
    BenchRecord("throttled", (double)answers[1]);
    BenchRecord("refused_other", (double)answers[2]);
}

BENCH_EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    coreCallback = ((_LoadParmsIn*)in)->callback;
    self->providerID = BENCH_PRODUCER_ID;
    self->wantsWorkerThread = BenchGetSettings()->mode != BENCH_IDLE;
    return 0;
}

BENCH_EXPORT int IOCTL(void* in, void* out)
{
    const BenchSettings* run = BenchGetSettings();
    (void)out;
    if (((_IoctlParmsIn*)in)->command != IOCTL_WORKER)
        return 0;
    switch (run->mode) {
    case BENCH_THROUGHPUT: RunThroughput(run); break;
    case BENCH_LATENCY: RunLatency(run); break;
    case BENCH_LOG: RunLog(run); break;
    case BENCH_FLOOD: RunFlood(run); break;
    case BENCH_IDLE: break;
    }
    BenchWriteResults();
    pthread_mutex_lock(&lock);
    while (!closing)
        pthread_cond_wait(&closed, &lock);
    pthread_mutex_unlock(&lock);
    return 0;
}

BENCH_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_broadcast(&closed);
    pthread_mutex_unlock(&lock);
    return 0;
}
