/*
 * plugin_fault: a test plugin that misbehaves on purpose, for the fault tests. Like plugin_probe,
 * each copy DIR/plugins/NAME.so reads "key value" lines from DIR/NAME.conf at Load and writes its
 * findings as "key value" lines to DIR/NAME.out at Unload.
 *
 * Settings (all default to 0):
 *   id N            provider ID; its copies take every class (masks all ones) when writes is set
 *   writes N        acceptsWrites
 *   fail N          Open, Close, Unload, Write, Read and IOCTL return N, and set error N + 1
 *                   where their result record has one
 *   keep N          1: Write keeps every block and never gives it back; 2: keeps every block and
 *                   gives each back twice, then releases an address the core never handed out
 *   flood N         at Open, N threads each send `count` events (class 0x0008, data: thread and
 *                   sequence number) and count the core's answers
 *   count N         events per flood thread
 *   afterclose N    1: a thread started at Open keeps sending log lines and events until Unload
 *   longlog N       at Open, send one log line of N bytes of 'x' with no terminating zero
 *   openms, closems N  Open and Close sleep N ms; each first creates DIR/NAME.opening or
 *                   DIR/NAME.closing
 *
 * Out file: "accepted N" (flood events the core accepted), "received N" (flood events delivered
 * to Write), "duplicates N" (deliveries of an event delivered before), "afterclose N" (events
 * sent after Close), "afterclose_accepted N" (of those, the ones the core accepted), "load_uid N"
 * (the user the plugin's Load ran as).
 */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define FAULT_EXPORT __attribute__((visibility("default")))
#define FLOOD_CLASS 0x0008u
#define MAX_FLOOD_THREADS 16
#define MAX_FLOOD_COUNT 100000

static long id, writes, fail, keep, flood, count, afterClose, longLog, openMs, closeMs;
static char stem[4096]; /* DIR/NAME without ".so"'s folder: the path prefix of the .conf and .out */
static PluginEntryPoint coreCallback;

static pthread_t floodThreads[MAX_FLOOD_THREADS];
static pthread_t lateThread;
static int closed;    /* set by Close, read by the late sender (atomic builtins) */
static int unloading; /* set by Unload, ends the late sender (atomic builtins) */

static pthread_mutex_t countLock = PTHREAD_MUTEX_INITIALIZER;
static long accepted, received, duplicates, sentAfterClose, acceptedAfterClose; /* countLock */
static unsigned char* seen; /* one byte per flood event, countLock */
static long loadUid = -1;   /* the user ID Load ran as; written by Load only */

static void Sleep(long ms)
{
    struct timespec pause;
    pause.tv_sec = ms / 1000;
    pause.tv_nsec = (ms % 1000) * 1000000L;
    while (nanosleep(&pause, &pause) != 0) {
    }
}

/* Creates the empty file DIR/NAME followed by suffix, so a test sees how far the plugin got. */
static void Mark(const char* suffix)
{
    char path[4200];
    FILE* file;
    snprintf(path, sizeof path, "%s%s", stem, suffix);
    file = fopen(path, "w");
    if (file != NULL)
        fclose(file);
}

static void ReadSettings(void)
{
    Dl_info self;
    char path[4200];
    char key[64];
    long value;
    FILE* file;
    size_t length;

    if (dladdr((void*)&ReadSettings, &self) == 0 || self.dli_fname == NULL)
        return;
    /* DIR/plugins/NAME.so -> DIR/NAME */
    snprintf(path, sizeof path, "%s", self.dli_fname);
    length = strlen(path);
    if (length > 3)
        path[length - 3] = '\0';
    {
        char* name = strrchr(path, '/');
        char* folderEnd;
        if (name == NULL)
            return;
        *name++ = '\0';
        folderEnd = strrchr(path, '/');
        if (folderEnd == NULL)
            return;
        *folderEnd = '\0';
        snprintf(stem, sizeof stem, "%s/%s", path, name);
    }
    snprintf(path, sizeof path, "%s.conf", stem);
    file = fopen(path, "r");
    if (file == NULL)
        return;
    while (fscanf(file, "%63s %li", key, &value) == 2) {
        if (strcmp(key, "id") == 0)
            id = value;
        else if (strcmp(key, "writes") == 0)
            writes = value;
        else if (strcmp(key, "fail") == 0)
            fail = value;
        else if (strcmp(key, "keep") == 0)
            keep = value;
        else if (strcmp(key, "flood") == 0)
            flood = value;
        else if (strcmp(key, "count") == 0)
            count = value;
        else if (strcmp(key, "afterclose") == 0)
            afterClose = value;
        else if (strcmp(key, "longlog") == 0)
            longLog = value;
        else if (strcmp(key, "openms") == 0)
            openMs = value;
        else if (strcmp(key, "closems") == 0)
            closeMs = value;
    }
    fclose(file);
    if (flood > MAX_FLOOD_THREADS)
        flood = MAX_FLOOD_THREADS;
    if (count > MAX_FLOOD_COUNT)
        count = MAX_FLOOD_COUNT;
}

static int32_t Send(uint32_t type, uint32_t flags, void* data, uint32_t len, int32_t level)
{
    _EventParmsIn event;
    _EventParmsOut result;
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = EVENT_PARMS_IN_VERSION;
    event.providerID = (uint32_t)id;
    event.eventType = type;
    event.eventFlags = flags;
    event.data = data;
    event.len = len;
    SetEventLogLevel(&event, level);
    result.size = sizeof result;
    result.version = EVENT_PARMS_OUT_VERSION;
    result.result = 0;
    coreCallback(&event, &result);
    return result.result;
}

static void* FloodThread(void* argument)
{
    uint32_t thread = (uint32_t)(uintptr_t)argument;
    uint32_t sequence;
    long mine = 0;
    for (sequence = 0; sequence < (uint32_t)count; ++sequence) {
        uint32_t data[2] = {thread, sequence};
        if (Send(FLOOD_CLASS, 0, data, sizeof data, 0) == EVENT_ACCEPTED)
            ++mine;
    }
    pthread_mutex_lock(&countLock);
    accepted += mine;
    pthread_mutex_unlock(&countLock);
    return NULL;
}

static void* LateSender(void* unused)
{
    (void)unused;
    while (!__atomic_load_n(&unloading, __ATOMIC_SEQ_CST)) {
        char text[] = "late line";
        int after = __atomic_load_n(&closed, __ATOMIC_SEQ_CST);
        int32_t answer = Send(FLOOD_CLASS, 0, text, sizeof text, 0);
        Send(EVT_LOG, EVF_LOG_MESSAGE, text, sizeof text, 50);
        if (after) {
            pthread_mutex_lock(&countLock);
            ++sentAfterClose;
            if (answer == EVENT_ACCEPTED)
                ++acceptedAfterClose;
            pthread_mutex_unlock(&countLock);
        }
        Sleep(1);
    }
    return NULL;
}

FAULT_EXPORT int Load(void* in, void* out)
{
    _LoadParmsIn* parms = (_LoadParmsIn*)in;
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    int i;
    ReadSettings();
    loadUid = (long)getuid();
    coreCallback = parms->callback;
    self->providerID = (uint32_t)id;
    self->acceptsWrites = (uint8_t)writes;
    for (i = 0; i < EVENT_CLASS_COUNT; ++i)
        self->classMasks[i] = writes ? 0xFFFFFFFFu : 0;
    if (flood > 0)
        seen = calloc((size_t)(flood * count) + 1, 1);
    return 0;
}

FAULT_EXPORT int Open(void* in, void* out)
{
    long i;
    (void)in;
    (void)out;
    Mark(".opening");
    Sleep(openMs);
    for (i = 0; i < flood; ++i)
        pthread_create(&floodThreads[i], NULL, FloodThread, (void*)(uintptr_t)i);
    if (afterClose)
        pthread_create(&lateThread, NULL, LateSender, NULL);
    if (longLog > 0) {
        char* text = malloc((size_t)longLog);
        if (text != NULL) {
            memset(text, 'x', (size_t)longLog);
            Send(EVT_LOG, EVF_LOG_MESSAGE, text, (uint32_t)longLog, 50);
            free(text);
        }
    }
    return (int)fail;
}

FAULT_EXPORT int Close(void* in, void* out)
{
    _CloseParmsOut* result = (_CloseParmsOut*)out;
    long i;
    (void)in;
    Mark(".closing");
    Sleep(closeMs);
    for (i = 0; i < flood; ++i)
        pthread_join(floodThreads[i], NULL);
    __atomic_store_n(&closed, 1, __ATOMIC_SEQ_CST);
    result->error = fail ? (int32_t)fail + 1 : 0;
    return (int)fail;
}

FAULT_EXPORT int Unload(void* in, void* out)
{
    _UnloadParmsOut* result = (_UnloadParmsOut*)out;
    char path[4200];
    FILE* file;
    int i;
    (void)in;
    if (afterClose) {
        /* At least one event is sent after Close before the sender stops (bounded: 10 s). */
        long sent = 0;
        for (i = 0; i < 10000 && sent == 0; ++i) {
            Sleep(1);
            pthread_mutex_lock(&countLock);
            sent = sentAfterClose;
            pthread_mutex_unlock(&countLock);
        }
        __atomic_store_n(&unloading, 1, __ATOMIC_SEQ_CST);
        pthread_join(lateThread, NULL);
    }
    snprintf(path, sizeof path, "%s.out", stem);
    file = fopen(path, "w");
    if (file != NULL) {
        fprintf(file,
                "accepted %ld\nreceived %ld\nduplicates %ld\nafterclose %ld\nafterclose_accepted %ld\nload_uid %ld\n",
                accepted, received, duplicates, sentAfterClose, acceptedAfterClose, loadUid);
        fclose(file);
    }
    free(seen);
    result->error = fail ? (int32_t)fail + 1 : 0;
    return (int)fail;
}

FAULT_EXPORT int Write(void* in, void* out)
{
    _WriteParmsIn* event = (_WriteParmsIn*)in;
    _WriteParmsOut* result = (_WriteParmsOut*)out;
    if (event->eventType == FLOOD_CLASS && event->len == 2 * sizeof(uint32_t) && seen != NULL) {
        uint32_t data[2];
        memcpy(data, event->data, sizeof data);
        if (data[0] < (uint32_t)flood && data[1] < (uint32_t)count) {
            pthread_mutex_lock(&countLock);
            ++received;
            if (seen[data[0] * (size_t)count + data[1]]++)
                ++duplicates;
            pthread_mutex_unlock(&countLock);
        }
    }
    if (keep != 0 && event->data != NULL) {
        result->keep = 1;
        if (keep == 2) {
            /* Given back at once, twice, from inside Write; then an address it never had. */
            static char foreign;
            Send(EVT_RELEASE, 0, event->data, 0, 0);
            Send(EVT_RELEASE, 0, event->data, 0, 0);
            Send(EVT_RELEASE, 0, &foreign, 0, 0);
        }
    }
    result->error = fail ? (int32_t)fail + 1 : 0;
    return (int)fail;
}

FAULT_EXPORT int Read(void* in, void* out)
{
    (void)in;
    (void)out;
    return (int)fail;
}

FAULT_EXPORT int IOCTL(void* in, void* out)
{
    _IoctlParmsOut* result = (_IoctlParmsOut*)out;
    (void)in;
    result->error = fail ? (int32_t)fail + 1 : 0;
    return (int)fail;
}
