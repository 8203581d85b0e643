/*
 * The bound on events in flight that the core's runs and the design baseline share: a producer may
 * run ahead of delivery by at most BOUND events (plus one per producer). A producer that reaches the
 * bound sleeps until delivery has brought the count down to half of it, so producers are woken in
 * one broadcast per half-bound rather than once per delivered event, and the figures measure the
 * event path instead of the bound's own wake-ups.
 */
#ifndef DVRBENCH_FLIGHT_BOUND_H
#define DVRBENCH_FLIGHT_BOUND_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
#include <atomic>
typedef std::atomic<int64_t> FlightCount;
#define FLIGHT_LOAD(x) (x).load()
#define FLIGHT_ADD(x, n) (x).fetch_add(n)
#else
#include <stdatomic.h>
typedef _Atomic int64_t FlightCount;
#define FLIGHT_LOAD(x) atomic_load(&(x))
#define FLIGHT_ADD(x, n) atomic_fetch_add(&(x), n)
#endif

typedef struct FlightBound {
    FlightCount inFlight;
    int64_t bound;
    pthread_mutex_t lock; /* guards waiters, and orders a sleeper's check before a waker's broadcast */
    pthread_cond_t drained;
    int waiters;
} FlightBound;

static inline void FlightBoundInit(FlightBound* gate, int64_t bound)
{
    gate->bound = bound > 1 ? bound : 2;
    pthread_mutex_init(&gate->lock, NULL);
    pthread_cond_init(&gate->drained, NULL);
    gate->waiters = 0;
}

/* Counts one more event in flight; sleeps while the bound is reached. */
static inline void FlightBoundEnter(FlightBound* gate)
{
    if (FLIGHT_ADD(gate->inFlight, 1) < gate->bound)
        return;
    pthread_mutex_lock(&gate->lock);
    ++gate->waiters;
    while (FLIGHT_LOAD(gate->inFlight) > gate->bound / 2)
        pthread_cond_wait(&gate->drained, &gate->lock);
    --gate->waiters;
    pthread_mutex_unlock(&gate->lock);
}

/* One event delivered (or refused); wakes the sleepers when the count comes down to half the bound.
 * Counts move by one, so every fall from above half the bound passes through it exactly. */
static inline void FlightBoundLeave(FlightBound* gate)
{
    if (FLIGHT_ADD(gate->inFlight, -1) - 1 != gate->bound / 2)
        return;
    pthread_mutex_lock(&gate->lock);
    if (gate->waiters != 0)
        pthread_cond_broadcast(&gate->drained);
    pthread_mutex_unlock(&gate->lock);
}

#endif
