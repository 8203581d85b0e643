/*
 * Heartbeat: the example plugin of the plugin author's guide (writing-plugins.md).
 *
 * From the worker thread the core lends it, it raises a "beat" event ten times a second on the
 * event class 0x0008 with the routing key HEARTBEAT_KEY, and it takes the same events back through
 * Write: every beat travels through the core's queue as any plugin's event does. It keeps the data
 * block of the newest beat and gives back the one before, logs a summary line once a second
 * through the core, answers every parent packet addressed to it with its totals, and ends its
 * worker loop as soon as the core closes it.
 *
 * Build it against the installed SDK with the Makefile (pkg-config) or CMakeLists.txt
 * (find_package) beside this file, and copy Heartbeat.so into the core's plugins folder.
 */
#define _POSIX_C_SOURCE 200809L

#include <dvrcore/plugin_api.h>

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Module index 0x0B0 (bits 16 to 27): the plugin's log threshold, and the parent packets whose
 * target starts with 0x0B0. */
#define HEARTBEAT_PROVIDER_ID 0x00B00000u
#define HEARTBEAT_LOG_LEVEL 25

/* Class 0x0008 means nothing to the core; the plugins that use it agree on what it carries. It is
 * the fourth entry of EVENT_CLASS_BITS, so its mask is classMasks[3]. */
#define HEARTBEAT_EVENT 0x0008u
#define HEARTBEAT_CLASS 3
/* The routing key of a beat: a receiver takes beats when this bit is in its class 0x0008 mask. */
#define HEARTBEAT_KEY 0x00000100u

#define BEAT_INTERVAL_NS 100000000L /* ten beats a second */
#define BEATS_PER_SUMMARY 10

/* The event callback, set by Load before any thread of the plugin runs, then only read. */
static PluginEntryPoint core;

/* Guards everything below it. Never held while calling the core: the core calls Write on its own
 * thread while the worker raises events, and Write takes this lock too. */
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateChanged; /* CLOCK_MONOTONIC; signalled by Open and Close */
static int opened;
static int closing;
static unsigned long sent;     /* beats the core accepted */
static unsigned long refused;  /* beats the core refused (for example while it stops) */
static unsigned long received; /* beats delivered to Write */
static unsigned long released; /* kept blocks given back */
static void* heldBlock;        /* the newest beat's block, kept through Write; or null */

/* True when a line of this level would be written: asks the core for the plugin's threshold, so
 * that a line nobody wants is never formatted. Any thread. */
static int LogEnabled(int32_t level)
{
    _EventParmsIn query = DvrLogQueryEvent(HEARTBEAT_PROVIDER_ID);
    _EventParmsOut answer = DvrEventParmsOut();

    core(&query, &answer);
    return answer.result < 0 || level >= answer.result;
}

/* Logs one line through the core: it reaches the console and every log plugin. Any thread. */
static void Log(int32_t level, const char* format, ...)
{
    char text[512];
    _EventParmsIn event;
    _EventParmsOut result = DvrEventParmsOut();
    va_list arguments;
    int length;

    if (!LogEnabled(level))
        return;
    va_start(arguments, format);
    length = vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (length <= 0)
        return;
    event = DvrLogEvent(HEARTBEAT_PROVIDER_ID, level, text); /* the core copies text before it returns */
    core(&event, &result);
}

/* Gives a kept block back to the core. Called without stateLock. */
static void ReleaseBlock(void* block)
{
    _EventParmsIn event = DvrReleaseEvent(HEARTBEAT_PROVIDER_ID, block);
    _EventParmsOut result = DvrEventParmsOut();

    core(&event, &result);
    pthread_mutex_lock(&stateLock);
    ++released;
    pthread_mutex_unlock(&stateLock);
}

/* Raises one beat; returns the core's answer. Worker thread, without stateLock. */
static int32_t Beat(unsigned long number)
{
    char text[32];
    _EventParmsIn event = DvrEventParmsIn(HEARTBEAT_PROVIDER_ID, HEARTBEAT_EVENT, HEARTBEAT_KEY);
    _EventParmsOut result = DvrEventParmsOut();
    int length = snprintf(text, sizeof text, "beat %lu", number);

    event.len = (uint32_t)length + 1;
    event.data = text; /* the core queues its own copy; text may go out of scope at once */
    core(&event, &result);
    return result.result;
}

/* The worker loop, on the thread the core lends the plugin (IOCTL_WORKER). The core starts it
 * right after Load, before Open, so it waits for Open; it returns once Close has run, since the
 * core joins this thread before it calls Unload. */
static int RunWorker(void)
{
    struct timespec next;
    unsigned long number = 0;

    pthread_mutex_lock(&stateLock);
    while (!opened && !closing)
        pthread_cond_wait(&stateChanged, &stateLock);
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!closing) {
        int32_t answer;
        unsigned long sentNow, refusedNow, receivedNow, releasedNow;

        next.tv_nsec += BEAT_INTERVAL_NS;
        if (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        /* Close signals stateChanged, so the wait ends early when the plugin is closed. */
        while (!closing && pthread_cond_timedwait(&stateChanged, &stateLock, &next) != ETIMEDOUT) {
        }
        if (closing)
            break;
        pthread_mutex_unlock(&stateLock);
        answer = Beat(++number);
        pthread_mutex_lock(&stateLock);
        if (answer == EVENT_ACCEPTED)
            ++sent;
        else
            ++refused;
        if (number % BEATS_PER_SUMMARY != 0)
            continue;
        sentNow = sent;
        refusedNow = refused;
        receivedNow = received;
        releasedNow = released;
        pthread_mutex_unlock(&stateLock);
        Log(HEARTBEAT_LOG_LEVEL, "heartbeat: sent %lu, refused %lu, received %lu, released %lu", sentNow, refusedNow,
            receivedNow, releasedNow);
        pthread_mutex_lock(&stateLock);
    }
    pthread_mutex_unlock(&stateLock);
    return 0;
}

/* Answers a parent packet with the plugin's totals. The packet is valid during the call only; the
 * answer is allocated with malloc and belongs to the core once raised. I/O thread. */
static void AnswerParent(const void* packet, uint32_t length)
{
    _EventParmsIn event;
    _EventParmsOut result = DvrEventParmsOut();
    _ParentPacketHeader header;
    char* answer;
    int answerLength;

    if (packet == NULL || length < sizeof header)
        return;
    memcpy(&header, packet, sizeof header); /* the data need not be aligned for the record */
    answer = malloc(96);
    if (answer == NULL)
        return;
    pthread_mutex_lock(&stateLock);
    answerLength = snprintf(answer, 96, "heartbeat: command %lu, %lu beats sent, %lu received",
                            (unsigned long)header.command, sent, received);
    pthread_mutex_unlock(&stateLock);
    /* Not copied: the core frees the block after sending, or at once if it cannot send. */
    event = DvrParentSendEvent(HEARTBEAT_PROVIDER_ID, answer, (uint32_t)answerLength);
    core(&event, &result);
}

int Load(void* in, void* out)
{
    const _LoadParmsIn* parms = (const _LoadParmsIn*)in;
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    pthread_condattr_t attributes;

    /* A core older than this plugin passes shorter records: refuse rather than read past them. */
    if (parms->size < sizeof *parms || self->size < sizeof *self)
        return 1;
    core = parms->callback;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&stateChanged, &attributes);
    pthread_condattr_destroy(&attributes);

    self->providerID = HEARTBEAT_PROVIDER_ID;
    self->classMasks[HEARTBEAT_CLASS] = HEARTBEAT_KEY; /* take the beats, ours and any other plugin's */
    self->wantsWorkerThread = 1;
    self->acceptsWrites = 1;
    self->logLevelDefault = HEARTBEAT_LOG_LEVEL;
    return 0;
}

int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&stateLock);
    opened = 1;
    pthread_cond_broadcast(&stateChanged);
    pthread_mutex_unlock(&stateLock);
    Log(HEARTBEAT_LOG_LEVEL, "heartbeat: opened, beating every %ld ms", BEAT_INTERVAL_NS / 1000000L);
    return 0;
}

/* Keeps the newest beat's block and gives back the one kept before. The core's queue worker. */
int Write(void* in, void* out)
{
    const _WriteParmsIn* event = (const _WriteParmsIn*)in;
    _WriteParmsOut* result = (_WriteParmsOut*)out;
    void* previous;

    if (event->size < sizeof *event || result->size < sizeof *result)
        return 1;
    if ((event->eventType & HEARTBEAT_EVENT) == 0 || event->data == NULL)
        return 0;
    pthread_mutex_lock(&stateLock);
    ++received;
    previous = heldBlock;
    heldBlock = event->data;
    pthread_mutex_unlock(&stateLock);
    result->keep = 1; /* the block stays valid until this plugin releases it */
    if (previous != NULL)
        ReleaseBlock(previous);
    return 0;
}

int IOCTL(void* in, void* out)
{
    const _IoctlParmsIn* parms = (const _IoctlParmsIn*)in;
    (void)out;
    switch (parms->command) {
    case IOCTL_WORKER: return RunWorker();
    case IOCTL_CONFIG:
        /* The core's configuration document, or another plugin's: XML text, not zero-terminated. */
        Log(0, "heartbeat: configuration document of %lu bytes", (unsigned long)parms->len);
        return 0;
    case IOCTL_PARENT: AnswerParent(parms->data, parms->len); return 0;
    default: return 0;
    }
}

/* Ends the worker loop and gives back the block still kept. Returns at once: the core joins the
 * worker thread itself, after every plugin is closed. */
int Close(void* in, void* out)
{
    void* block;
    unsigned long sentNow, receivedNow, releasedNow;

    (void)in;
    (void)out;
    pthread_mutex_lock(&stateLock);
    closing = 1;
    pthread_cond_broadcast(&stateChanged);
    block = heldBlock;
    heldBlock = NULL;
    pthread_mutex_unlock(&stateLock);
    if (block != NULL)
        ReleaseBlock(block);
    pthread_mutex_lock(&stateLock);
    sentNow = sent;
    receivedNow = received;
    releasedNow = released;
    pthread_mutex_unlock(&stateLock);
    Log(HEARTBEAT_LOG_LEVEL, "heartbeat: closing after %lu beats sent, %lu received, %lu blocks released", sentNow,
        receivedNow, releasedNow);
    return 0;
}

int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_cond_destroy(&stateChanged);
    return 0;
}
