/*
 * The state the benchmark plugins share: one copy in the process, in libdvrbench_state.so, which the
 * producer and every subscriber link. It reads the run's settings from the environment the driver
 * (run_bench.py) starts the core with, holds the bound on events in flight, counts deliveries and
 * writes the run's figures as "key value" lines to DVRBENCH_OUT.
 */
#ifndef DVRBENCH_STATE_H
#define DVRBENCH_STATE_H

#include <stdint.h>

#define BENCH_EXPORT __attribute__((visibility("default")))

#define BENCH_PRODUCER_ID 0x00340000u
#define BENCH_SUBSCRIBER_ID 0x00350000u /* the first; the next ones count up in the module index */
/* Routing key bit 8 of the bench frames: outside every bundled plugin's masks. */
#define BENCH_FRAME_FLAGS 0x00000100u

typedef enum BenchMode {
    BENCH_THROUGHPUT, /* COUNT frames of SIZE from PRODUCERS threads, at most IN_FLIGHT queued */
    BENCH_LATENCY,    /* COUNT frames of SIZE at RATE per second, each stamped with its send time */
    BENCH_LOG,        /* COUNT dropped log lines, then COUNT written and delivered ones, at most
                         IN_FLIGHT queued */
    BENCH_FLOOD,      /* gated frames of SIZE for SECONDS, as fast as the core takes them */
    BENCH_IDLE        /* nothing */
} BenchMode;

typedef struct BenchSettings {
    BenchMode mode;
    uint32_t size;
    uint64_t count;
    int producers;
    int subscribers;
    int inFlight;
    double rate;
    double seconds;
    uint32_t subscriberDelayUs; /* flood: how long each Write takes */
} BenchSettings;

BENCH_EXPORT const BenchSettings* BenchGetSettings(void);
BENCH_EXPORT int64_t BenchNowNs(void);

/* The next subscriber's provider ID, in load order. */
BENCH_EXPORT uint32_t BenchNextSubscriberID(void);

/* Producer side: waits for a free slot of the in-flight bound; gives it back when the core did not
 * accept the event. */
BENCH_EXPORT void BenchTakeSlot(void);
BENCH_EXPORT void BenchGiveSlot(void);
/* Marks the first accepted event of the run. */
BENCH_EXPORT void BenchStartClock(void);

/* Subscriber side: one Write of a bench frame. sendNs is the frame's send stamp (latency), 0 for
 * none. Every subscriber's Write counts; when all of them have taken an event its slot is freed,
 * and when the last event is delivered the run ends. */
BENCH_EXPORT void BenchDelivered(int64_t sendNs);

/* Adds a "key value" line to the figures written at the end. */
BENCH_EXPORT void BenchRecord(const char* key, double value);
/* Blocks until the run's last event is delivered. */
BENCH_EXPORT void BenchWaitForEnd(void);
/* Writes the figures to DVRBENCH_OUT (first call only). */
BENCH_EXPORT void BenchWriteResults(void);

#endif
