/* The benchmark plugins' shared state: see bench_state.h. */
#define _GNU_SOURCE

#include "bench_state.h"
#include "../flight_bound.h"

#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define MAX_FIGURES 64

static pthread_once_t once = PTHREAD_ONCE_INIT;
static BenchSettings settings; /* written once, under once */
static FlightBound slots;      /* the bound on events in flight */

static atomic_uint nextSubscriber;
static atomic_uint_fast64_t writes; /* bench-frame Writes, all subscribers together */
static atomic_int_fast64_t startNs; /* the first accepted event; 0 before it */
static int64_t* latencies;          /* per delivered event, in delivery order (latency mode) */

/* Guards everything below. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t ended = PTHREAD_COND_INITIALIZER;
static int runEnded;
static int resultsWritten;
static int figureCount;
static char figureKeys[MAX_FIGURES][48];
static double figureValues[MAX_FIGURES];

static const char* Setting(const char* name, const char* fallback)
{
    const char* value = getenv(name);
    return value != NULL && value[0] != '\0' ? value : fallback;
}

static void ReadSettings(void)
{
    const char* mode = Setting("DVRBENCH_MODE", "idle");
    settings.mode = strcmp(mode, "throughput") == 0 ? BENCH_THROUGHPUT
                    : strcmp(mode, "latency") == 0  ? BENCH_LATENCY
                    : strcmp(mode, "log") == 0      ? BENCH_LOG
                    : strcmp(mode, "flood") == 0    ? BENCH_FLOOD
                                                    : BENCH_IDLE;
    settings.size = (uint32_t)strtoul(Setting("DVRBENCH_SIZE", "0"), NULL, 10);
    settings.count = strtoull(Setting("DVRBENCH_COUNT", "0"), NULL, 10);
    settings.producers = atoi(Setting("DVRBENCH_PRODUCERS", "1"));
    settings.subscribers = atoi(Setting("DVRBENCH_SUBSCRIBERS", "1"));
    settings.inFlight = atoi(Setting("DVRBENCH_IN_FLIGHT", "200"));
    settings.rate = atof(Setting("DVRBENCH_RATE", "0"));
    settings.seconds = atof(Setting("DVRBENCH_SECONDS", "0"));
    settings.subscriberDelayUs = (uint32_t)strtoul(Setting("DVRBENCH_SUBSCRIBER_DELAY_US", "0"), NULL, 10);
    if (settings.producers < 1)
        settings.producers = 1;
    if (settings.subscribers < 1)
        settings.subscribers = 1;
    if (settings.inFlight < 1)
        settings.inFlight = 1;
    FlightBoundInit(&slots, settings.inFlight);
    if (settings.mode == BENCH_LATENCY && settings.count != 0)
        latencies = calloc(settings.count, sizeof *latencies);
}

const BenchSettings* BenchGetSettings(void)
{
    pthread_once(&once, ReadSettings);
    return &settings;
}

int64_t BenchNowNs(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

uint32_t BenchNextSubscriberID(void)
{
    return BENCH_SUBSCRIBER_ID + (atomic_fetch_add(&nextSubscriber, 1) << 16);
}

void BenchTakeSlot(void)
{
    BenchGetSettings();
    FlightBoundEnter(&slots);
}

void BenchGiveSlot(void)
{
    FlightBoundLeave(&slots);
}

void BenchStartClock(void)
{
    int_fast64_t none = 0;
    atomic_compare_exchange_strong(&startNs, &none, BenchNowNs());
}

static void EndRun(void)
{
    pthread_mutex_lock(&lock);
    runEnded = 1;
    pthread_cond_broadcast(&ended);
    pthread_mutex_unlock(&lock);
}

void BenchDelivered(int64_t sendNs)
{
    const BenchSettings* run = BenchGetSettings();
    uint64_t write = atomic_fetch_add(&writes, 1) + 1;
    uint64_t event;
    if (write % (uint64_t)run->subscribers != 0)
        return; /* another subscriber takes this event after this one */
    event = write / (uint64_t)run->subscribers;
    if (latencies != NULL && sendNs != 0 && event <= run->count)
        latencies[event - 1] = BenchNowNs() - sendNs;
    FlightBoundLeave(&slots);
    if (event == run->count) {
        BenchRecord("elapsed_ns", (double)(BenchNowNs() - atomic_load(&startNs)));
        EndRun();
    }
}

void BenchRecord(const char* key, double value)
{
    pthread_mutex_lock(&lock);
    if (figureCount < MAX_FIGURES) {
        snprintf(figureKeys[figureCount], sizeof figureKeys[0], "%s", key);
        figureValues[figureCount] = value;
        ++figureCount;
    }
    pthread_mutex_unlock(&lock);
}

void BenchWaitForEnd(void)
{
    pthread_mutex_lock(&lock);
    while (!runEnded)
        pthread_cond_wait(&ended, &lock);
    pthread_mutex_unlock(&lock);
}

static int CompareNs(const void* a, const void* b)
{
    int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
    return (x > y) - (x < y);
}

static void RecordLatencies(void)
{
    uint64_t n = BenchGetSettings()->count;
    if (latencies == NULL || n == 0)
        return;
    qsort(latencies, n, sizeof *latencies, CompareNs);
    BenchRecord("latency_p50_ns", (double)latencies[n / 2]);
    BenchRecord("latency_p99_ns", (double)latencies[(n * 99) / 100]);
    BenchRecord("latency_max_ns", (double)latencies[n - 1]);
}

void BenchWriteResults(void)
{
    const char* path = getenv("DVRBENCH_OUT");
    char temporary[4096];
    FILE* file;
    int i;
    pthread_mutex_lock(&lock);
    if (resultsWritten) {
        pthread_mutex_unlock(&lock);
        return;
    }
    resultsWritten = 1;
    pthread_mutex_unlock(&lock);
    RecordLatencies();
    if (path == NULL)
        return;
    /* Written aside and renamed: the driver takes the file as soon as it appears. */
    snprintf(temporary, sizeof temporary, "%s.part", path);
    file = fopen(temporary, "w");
    if (file == NULL) {
        perror("bench: results");
        return;
    }
    pthread_mutex_lock(&lock);
    for (i = 0; i < figureCount; ++i)
        fprintf(file, "%s %.0f\n", figureKeys[i], figureValues[i]);
    pthread_mutex_unlock(&lock);
    if (fclose(file) != 0 || rename(temporary, path) != 0)
        perror("bench: results");
}
