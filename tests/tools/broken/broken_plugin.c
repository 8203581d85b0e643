/*
 * A plugin for dvrcore-validate's tests: a small media source and subscriber that behaves as a
 * plugin should, unless one of the BROKEN_ macros below is defined, which plants exactly one
 * fault. Each fault is built into a plugin of its own (tests/tools/CMakeLists.txt), so every check
 * of the validator has a plugin that only it catches. Every hang blocks for good (or sleeps far
 * beyond the validator's budgets), so no result depends on the machine's speed.
 *
 * Healthy behaviour: a worker loop sends one gated video frame every 5 ms once open (a key frame
 * first and next after EVENT_NO_KEY_FRAME, EVENT_GATE_EXPIRED or EVENT_THROTTLED), Write keeps
 * every block and gives back the one kept before, IOCTL_PARENT answers each packet, Close stops
 * the worker and gives back the block still kept, and Unload frees what is left.
 */
#define _POSIX_C_SOURCE 200809L

#include <dvrcore/plugin_api.h>

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define BROKEN_PROVIDER_ID 0x00D00000u
#define FRAME_FLAGS (EVF_MEDIA_GATED | 0x1u)
#define FRAME_INTERVAL_NS 5000000L

static PluginEntryPoint core; /* set by Load, then only read */

/* Guards everything below it; never held while calling the core. */
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateChanged = PTHREAD_COND_INITIALIZER;
static int opened;
static int closing;
static void* heldBlock; /* the newest kept block, or null */
static int* openState;  /* set by a successful Open; Close reads it */

/* A thread that never ends: for the faults that leave a thread behind. */
static void* BlockForever(void* unused)
{
    pthread_mutex_t never = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t nobody = PTHREAD_COND_INITIALIZER;
    (void)unused;
    pthread_mutex_lock(&never);
    for (;;)
        pthread_cond_wait(&nobody, &never);
    return NULL;
}

static __attribute__((unused)) void StartStrayThread(void)
{
    pthread_t thread;
    if (pthread_create(&thread, NULL, BlockForever, NULL) == 0)
        pthread_detach(thread);
}

static __attribute__((unused)) void SleepMs(long ms)
{
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

static __attribute__((unused)) void Release(void* block)
{
    _EventParmsIn event = DvrReleaseEvent(BROKEN_PROVIDER_ID, block);
    _EventParmsOut result = DvrEventParmsOut();
    core(&event, &result);
#ifdef BROKEN_DOUBLE_RELEASE
    core(&event, &result);
#endif
}

static int32_t SendFrame(int keyFrame)
{
    static const char frame[64] = "frame";
    _EventParmsIn event = DvrFrameEvent(BROKEN_PROVIDER_ID, EVT_VIDEO, FRAME_FLAGS, frame, sizeof frame, keyFrame);
    _EventParmsOut result = DvrEventParmsOut();
    core(&event, &result);
    return result.result;
}

/* The worker loop: one frame every FRAME_INTERVAL_NS from Open to Close. */
static int RunWorker(void)
{
    int needKeyFrame = 1;
    struct timespec next;

    pthread_mutex_lock(&stateLock);
    while (!opened && !closing)
        pthread_cond_wait(&stateChanged, &stateLock);
    clock_gettime(CLOCK_REALTIME, &next);
    while (!closing) {
        int32_t answer;
        next.tv_nsec += FRAME_INTERVAL_NS;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        pthread_cond_timedwait(&stateChanged, &stateLock, &next);
        if (closing)
            break;
        pthread_mutex_unlock(&stateLock);
        answer = SendFrame(needKeyFrame);
#ifdef BROKEN_SPINS_ON_REFUSAL
        /* Retries at once until the core takes the frame. */
        while (answer != EVENT_ACCEPTED && answer != EVENT_NO_MEMORY)
            answer = SendFrame(needKeyFrame);
#endif
#ifdef BROKEN_NO_KEY_FRAME_AFTER_REFUSAL
        (void)answer;
        needKeyFrame = 0;
#else
        if (answer == EVENT_NO_KEY_FRAME || answer == EVENT_GATE_EXPIRED || answer == EVENT_THROTTLED)
            needKeyFrame = 1;
        else if (answer == EVENT_ACCEPTED)
            needKeyFrame = 0;
#endif
        pthread_mutex_lock(&stateLock);
    }
    pthread_mutex_unlock(&stateLock);
    return 0;
}

static void AnswerParent(uint32_t length)
{
    char* answer = malloc(16);
    _EventParmsIn event;
    _EventParmsOut result = DvrEventParmsOut();
    if (answer == NULL)
        return;
    memset(answer, 0, 16);
    memcpy(answer, &length, sizeof length);
    event = DvrParentSendEvent(BROKEN_PROVIDER_ID, answer, 16);
    core(&event, &result);
}

#ifdef BROKEN_CRASHES_IN_LOAD
static int* volatile nowhere; /* stays null */

/* Writes through a null pointer: a crash of the plugin's own, whatever record it is given. */
static __attribute__((noinline)) void WriteThroughNull(void)
{
    *nowhere = 1;
}
#endif

int Load(void* in, void* out)
{
    const _LoadParmsIn* parms = (const _LoadParmsIn*)in;
    _LoadParmsOut* self = (_LoadParmsOut*)out;

#ifdef BROKEN_READS_PAST_LOAD_SIZE
    /* Reads the core text without looking at size first. */
    if (parms->coreTextLength > 0 && parms->coreText == NULL)
        return 1;
#endif
#ifdef BROKEN_CRASHES_IN_LOAD
    WriteThroughNull();
#endif
#ifdef BROKEN_THREAD_FROM_REFUSED_LOAD
    StartStrayThread(); /* started before the checks below, and never stopped when refusing */
#endif
    if (parms->size < sizeof *parms || self->size < sizeof *self)
        return 1;
    core = parms->callback;
    opened = closing = 0;
    self->providerID = BROKEN_PROVIDER_ID;
    self->classMasks[0] = 0x020000FFu; /* gated video of channels 1 to 8 */
    self->classMasks[3] = 0x0000FFFFu;
    self->wantsWorkerThread = 1;
    self->acceptsWrites = 1;
#ifdef BROKEN_RECORD_HEADER
    /* Writes its own idea of the header into the record the core set. */
    self->size = sizeof *self - 4;
    self->version = 1;
#endif
    return 0;
}

int Open(void* in, void* out)
{
    (void)in;
    (void)out;
#ifdef BROKEN_CLOSE_AFTER_FAILED_OPEN
    return 1; /* a device that is not there: openState stays null */
#else
    openState = malloc(sizeof *openState);
    if (openState == NULL)
        return 1;
    *openState = 1;
#endif
#ifdef BROKEN_THREAD_AFTER_UNLOAD
    StartStrayThread();
#endif
    pthread_mutex_lock(&stateLock);
    opened = 1;
    pthread_cond_broadcast(&stateChanged);
    pthread_mutex_unlock(&stateLock);
    return 0;
}

int Write(void* in, void* out)
{
    const _WriteParmsIn* event = (const _WriteParmsIn*)in;
    _WriteParmsOut* result = (_WriteParmsOut*)out;
    void* previous;

    if (event->size < sizeof *event || result->size < sizeof *result || event->data == NULL)
        return 0;
#ifdef BROKEN_SLOW_WRITE
    SleepMs(100); /* far beyond the 6 ms at which the core warns */
#endif
#ifdef BROKEN_WRITE_WAITS_ON_LOCK
    pthread_mutex_lock(&stateLock);
    pthread_mutex_lock(&stateLock); /* its own lock, taken twice: Write never returns */
#endif
    pthread_mutex_lock(&stateLock);
    previous = heldBlock;
    heldBlock = event->data;
    pthread_mutex_unlock(&stateLock);
    result->keep = 1;
#ifndef BROKEN_KEEPS_BLOCKS
    if (previous != NULL)
        Release(previous);
#else
    (void)previous;
#endif
    return 0;
}

int IOCTL(void* in, void* out)
{
    const _IoctlParmsIn* parms = (const _IoctlParmsIn*)in;
    (void)out;
    if (parms->command == IOCTL_WORKER)
        return RunWorker();
    if (parms->command == IOCTL_PARENT)
        AnswerParent(parms->len);
    return 0;
}

int Close(void* in, void* out)
{
    void* block;
    (void)in;
    (void)out;
#ifdef BROKEN_CLOSE_AFTER_FAILED_OPEN
    *openState = 0; /* assumes Open succeeded */
#endif
    pthread_mutex_lock(&stateLock);
#ifndef BROKEN_CLOSE_LEAVES_WORKER_RUNNING
    closing = 1;
#endif
    pthread_cond_broadcast(&stateChanged);
    block = heldBlock;
    heldBlock = NULL;
    pthread_mutex_unlock(&stateLock);
#ifndef BROKEN_KEEPS_BLOCKS
    if (block != NULL)
        Release(block);
#else
    (void)block;
#endif
    return 0;
}

int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    free(openState);
    openState = NULL;
    return 0;
}
