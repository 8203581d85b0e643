/*
 * bench_subscriber: the benchmark's receiving side. Installed under several names (bench_sub1.so,
 * ...), each copy a subscriber of its own with its own provider ID; every copy takes the producer's
 * frames and log lines in Write and counts them in the shared state.
 */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <string.h>
#include <time.h>

#include "bench_state.h"

BENCH_EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    (void)in;
    self->providerID = BenchNextSubscriberID();
    self->classMasks[0] = BENCH_FRAME_FLAGS | (EVF_MEDIA_GATED << 1); /* video: the bench frames */
    self->classMasks[6] = 0xFFFFFFFFu;                                /* log: every line */
    self->acceptsWrites = 1;
    return 0;
}

BENCH_EXPORT int Write(void* in, void* out)
{
    const _WriteParmsIn* event = (const _WriteParmsIn*)in;
    const BenchSettings* run = BenchGetSettings();
    int64_t stamp = 0;
    (void)out;
    if (event->providerID != BENCH_PRODUCER_ID)
        return 0;
    if (run->mode == BENCH_FLOOD) {
        struct timespec pause = {0, (long)run->subscriberDelayUs * 1000};
        if (run->subscriberDelayUs != 0)
            nanosleep(&pause, NULL);
        return 0;
    }
    if (run->mode == BENCH_LATENCY && event->data != NULL && event->len >= sizeof stamp)
        memcpy(&stamp, event->data, sizeof stamp);
    BenchDelivered(stamp);
    return 0;
}
