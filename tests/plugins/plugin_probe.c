/*
 * plugin_probe: a configurable test plugin. One build plays many roles: copied as a.so, b.so,
 * dADIduX.so..., each copy finds its settings by its own file name. For a copy at
 * DIR/plugins/NAME.so (or any other folder inside DIR) the settings are read from DIR/NAME.conf at
 * Load, and every call is appended as "NAME what" to DIR/calls.log, one line per call, in the order
 * the calls happen across all copies.
 *
 * Settings, one "key value" per line (numbers in C notation, 0x for hex); all default to 0:
 *   id N                 provider ID
 *   maskK N              class mask word K (0 to 8)
 *   worker, reads, writes  the flag bytes wantsWorkerThread, wantsReads, acceptsWrites
 *   level N              logLevelDefault
 *   load N, loaderror N  return value and error of Load; likewise open, close, closeerror,
 *                        unload, unloaderror
 *   streamreadms N       how long a Read on a stream lasts
 *   streamopen N         at Open, announce stream N with a stream control event
 *   streamblocks N       a Read on a stream sends up to N data blocks (class 0x0002) of the stream
 *                        from its thread, stopping at the first that is not accepted
 *   keep N               what Write answers in keep (blocks kept are never given back)
 *   loadlog N            at Load, ask for the log threshold, log "NAME: refusing, as configured" at
 *                        level N, and send a 4-byte block to the parent
 *   loadhang 1           Load never returns; loadcrash 1: Load aborts the process
 *   loadmkdir 1          at Load, make the folder "made-at-load" in the working folder, with a file
 *                        NAME in it
 *   loadthread 1         Load starts a detached thread that wakes every millisecond; once Unload
 *                        has run it ignores that and sends 200 events of class 0x0008 from there,
 *                        recording "answered N" (the first answer) and "done N of 200 refused"
 * The worker loop (IOCTL_WORKER) and the asynchronous Read (no stream) run until Close.
 */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define PROBE_EXPORT __attribute__((visibility("default")))

typedef struct ProbeSettings {
    unsigned long id;
    unsigned long masks[EVENT_CLASS_COUNT];
    long worker, reads, writes, level;
    long load, loadError, open, close, closeError, unload, unloadError;
    long streamReadMs, streamOpen, streamBlocks, keep;
    long loadLog, loadHang, loadCrash, loadMkdir, loadThread;
} ProbeSettings;

static ProbeSettings settings;        /* written by Load, before any other call */
static char stem[256];                /* this copy's file name without ".so"; written by Load */
static char baseDir[4096];            /* the folder above this copy's folder; written by Load */
static PluginEntryPoint coreCallback; /* written by Load */

/* Guards closed; signalled when Close runs. */
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t closedChanged = PTHREAD_COND_INITIALIZER;
static int closed;

/* Appends "stem what" to the shared call record with one write, so lines of concurrent callers
 * and of other copies never mix. */
static void Record(const char* what)
{
    char path[4200];
    char line[1024];
    int length;
    int fd;

    snprintf(path, sizeof path, "%s/calls.log", baseDir);
    length = snprintf(line, sizeof line, "%s %s\n", stem, what);
    if (length < 0 || (size_t)length >= sizeof line)
        length = (int)sizeof line - 1;
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)length) < 0) {
    }
    close(fd);
}

/* Learns stem and baseDir from the path this copy was loaded from. */
static void FindSelf(void)
{
    Dl_info self;
    const char* path = "";
    const char* slash;
    size_t length;
    char folder[4096];

    if (dladdr((void*)&FindSelf, &self) != 0 && self.dli_fname != NULL)
        path = self.dli_fname;
    slash = strrchr(path, '/');
    snprintf(stem, sizeof stem, "%s", slash != NULL ? slash + 1 : path);
    length = strlen(stem);
    if (length > 3 && strcmp(stem + length - 3, ".so") == 0)
        stem[length - 3] = '\0';

    snprintf(folder, sizeof folder, "%.*s", slash != NULL ? (int)(slash - path) : 1, slash != NULL ? path : ".");
    slash = strrchr(folder, '/');
    if (slash != NULL)
        snprintf(baseDir, sizeof baseDir, "%.*s", (int)(slash - folder), folder);
    else
        snprintf(baseDir, sizeof baseDir, ".");
}

static void ReadSettings(void)
{
    char path[4400];
    char line[256];
    char key[64];
    char value[64];
    FILE* file;

    memset(&settings, 0, sizeof settings);
    snprintf(path, sizeof path, "%s/%s.conf", baseDir, stem);
    file = fopen(path, "r");
    if (file == NULL)
        return;
    while (fgets(line, sizeof line, file) != NULL) {
        unsigned long number;
        if (sscanf(line, "%63s %63s", key, value) != 2)
            continue;
        number = strtoul(value, NULL, 0);
        if (strncmp(key, "mask", 4) == 0 && key[4] >= '0' && key[4] < '0' + EVENT_CLASS_COUNT && key[5] == '\0')
            settings.masks[key[4] - '0'] = number;
        else if (strcmp(key, "id") == 0)
            settings.id = number;
        else if (strcmp(key, "worker") == 0)
            settings.worker = (long)number;
        else if (strcmp(key, "reads") == 0)
            settings.reads = (long)number;
        else if (strcmp(key, "writes") == 0)
            settings.writes = (long)number;
        else if (strcmp(key, "level") == 0)
            settings.level = strtol(value, NULL, 0);
        else if (strcmp(key, "load") == 0)
            settings.load = strtol(value, NULL, 0);
        else if (strcmp(key, "loaderror") == 0)
            settings.loadError = strtol(value, NULL, 0);
        else if (strcmp(key, "open") == 0)
            settings.open = strtol(value, NULL, 0);
        else if (strcmp(key, "close") == 0)
            settings.close = strtol(value, NULL, 0);
        else if (strcmp(key, "closeerror") == 0)
            settings.closeError = strtol(value, NULL, 0);
        else if (strcmp(key, "unload") == 0)
            settings.unload = strtol(value, NULL, 0);
        else if (strcmp(key, "unloaderror") == 0)
            settings.unloadError = strtol(value, NULL, 0);
        else if (strcmp(key, "streamreadms") == 0)
            settings.streamReadMs = strtol(value, NULL, 0);
        else if (strcmp(key, "streamopen") == 0)
            settings.streamOpen = strtol(value, NULL, 0);
        else if (strcmp(key, "streamblocks") == 0)
            settings.streamBlocks = strtol(value, NULL, 0);
        else if (strcmp(key, "keep") == 0)
            settings.keep = strtol(value, NULL, 0);
        else if (strcmp(key, "loadlog") == 0)
            settings.loadLog = strtol(value, NULL, 0);
        else if (strcmp(key, "loadhang") == 0)
            settings.loadHang = strtol(value, NULL, 0);
        else if (strcmp(key, "loadcrash") == 0)
            settings.loadCrash = strtol(value, NULL, 0);
        else if (strcmp(key, "loadmkdir") == 0)
            settings.loadMkdir = strtol(value, NULL, 0);
        else if (strcmp(key, "loadthread") == 0)
            settings.loadThread = strtol(value, NULL, 0);
    }
    fclose(file);
}

static int unloaded; /* set by Unload (atomic builtins) */

/* The thread of "loadthread": started in Load, it goes on after Unload in an object the core
 * must keep mapped. */
static void* RaiseAfterUnload(void* unused)
{
    long sent = 0;
    long refused = 0;
    char line[64];
    (void)unused;
    while (sent < 200) {
        struct timespec pause = {0, 1000000L};
        char beat[4] = "beat";
        _EventParmsIn event = DvrEventParmsIn((uint32_t)settings.id, 0x0008u, 0x1u);
        _EventParmsOut result = DvrEventParmsOut();
        nanosleep(&pause, NULL);
        if (!__atomic_load_n(&unloaded, __ATOMIC_ACQUIRE))
            continue;
        event.data = beat;
        event.len = sizeof beat;
        coreCallback(&event, &result);
        if (sent++ == 0) {
            snprintf(line, sizeof line, "answered %d", (int)result.result);
            Record(line);
        }
        refused += result.result == EVENT_REFUSED;
    }
    snprintf(line, sizeof line, "done %ld of %ld refused", refused, sent);
    Record(line);
    return NULL;
}

/* Blocks until Close has run. */
static void WaitUntilClosed(void)
{
    pthread_mutex_lock(&stateLock);
    while (!closed)
        pthread_cond_wait(&closedChanged, &stateLock);
    pthread_mutex_unlock(&stateLock);
}

PROBE_EXPORT int Load(void* in, void* out)
{
    const _LoadParmsIn* parms = (const _LoadParmsIn*)in;
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    char line[300];
    int i;

    FindSelf();
    ReadSettings();
    closed = 0;
    coreCallback = parms->callback;
    snprintf(line, sizeof line, "Load core=%d callback=%d text=%.*s", parms->core != NULL, parms->callback != NULL,
             (int)parms->coreTextLength, parms->coreText != NULL ? parms->coreText : "");
    Record(line);

    if (settings.loadLog != 0 && coreCallback != NULL) {
        _EventParmsIn query = DvrLogQueryEvent((uint32_t)settings.id);
        _EventParmsOut answer = DvrEventParmsOut();
        _EventParmsIn event;
        void* block = malloc(4);
        coreCallback(&query, &answer);
        snprintf(line, sizeof line, "%s: refusing, as configured", stem);
        event = DvrLogEvent((uint32_t)settings.id, (int32_t)settings.loadLog, line);
        coreCallback(&event, &answer);
        if (block != NULL) {
            memcpy(block, "ping", 4);
            event = DvrParentSendEvent((uint32_t)settings.id, block, 4);
            coreCallback(&event, &answer);
        }
    }
    if (settings.loadMkdir != 0 && (mkdir("made-at-load", 0700) == 0 || errno == EEXIST)) {
        char made[300];
        int fd;
        snprintf(made, sizeof made, "made-at-load/%s", stem);
        fd = open(made, O_WRONLY | O_CREAT, 0600);
        if (fd >= 0)
            close(fd);
    }
    if (settings.loadThread != 0) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, RaiseAfterUnload, NULL) == 0)
            pthread_detach(thread);
    }
    while (settings.loadHang != 0)
        pause();
    if (settings.loadCrash != 0)
        abort();

    self->providerID = (uint32_t)settings.id;
    for (i = 0; i < EVENT_CLASS_COUNT; ++i)
        self->classMasks[i] = (uint32_t)settings.masks[i];
    self->wantsWorkerThread = (uint8_t)settings.worker;
    self->wantsReads = (uint8_t)settings.reads;
    self->acceptsWrites = (uint8_t)settings.writes;
    self->logLevelDefault = (int32_t)settings.level;
    self->error = (int32_t)settings.loadError;
    return (int)settings.load;
}

PROBE_EXPORT int Unload(void* in, void* out)
{
    _UnloadParmsOut* result = (_UnloadParmsOut*)out;
    (void)in;
    Record("Unload");
    __atomic_store_n(&unloaded, 1, __ATOMIC_RELEASE);
    result->error = (int32_t)settings.unloadError;
    return (int)settings.unload;
}

PROBE_EXPORT int Open(void* in, void* out)
{
    const _OpenParmsIn* parms = (const _OpenParmsIn*)in;
    char line[64];
    (void)out;
    snprintf(line, sizeof line, "Open %u", (unsigned)parms->shutdownInstance);
    Record(line);
    if (settings.streamOpen != 0 && coreCallback != NULL) {
        _EventParmsIn event;
        _EventParmsOut result;
        memset(&event, 0, sizeof event);
        event.size = sizeof event;
        event.version = EVENT_PARMS_IN_VERSION;
        event.streamID = (uint32_t)settings.streamOpen;
        event.eventType = EVT_VIDEO;
        result.size = sizeof result;
        result.version = EVENT_PARMS_OUT_VERSION;
        result.result = 0;
        coreCallback(&event, &result);
    }
    return (int)settings.open;
}

PROBE_EXPORT int Close(void* in, void* out)
{
    _CloseParmsOut* result = (_CloseParmsOut*)out;
    (void)in;
    Record("Close");
    pthread_mutex_lock(&stateLock);
    closed = 1;
    pthread_cond_broadcast(&closedChanged);
    pthread_mutex_unlock(&stateLock);
    result->error = (int32_t)settings.closeError;
    return (int)settings.close;
}

PROBE_EXPORT int Read(void* in, void* out)
{
    const _ReadParmsIn* parms = (const _ReadParmsIn*)in;
    char line[64];
    long i;
    (void)out;
    if (parms->streamID == 0) {
        Record("Read begin");
        WaitUntilClosed();
        Record("Read end");
        return 0;
    }
    snprintf(line, sizeof line, "Read stream %u begin", (unsigned)parms->streamID);
    Record(line);
    if (settings.streamReadMs > 0) {
        struct timespec pause;
        pause.tv_sec = settings.streamReadMs / 1000;
        pause.tv_nsec = (settings.streamReadMs % 1000) * 1000000L;
        while (nanosleep(&pause, &pause) != 0) {
        }
    }
    for (i = 0; i < settings.streamBlocks && coreCallback != NULL; ++i) {
        _EventParmsIn event;
        _EventParmsOut result;
        char block[] = "stream block";
        memset(&event, 0, sizeof event);
        event.size = sizeof event;
        event.version = EVENT_PARMS_IN_VERSION;
        event.providerID = (uint32_t)settings.id;
        event.streamID = parms->streamID;
        event.eventType = EVT_AUDIO;
        event.data = block;
        event.len = sizeof block;
        result.size = sizeof result;
        result.version = EVENT_PARMS_OUT_VERSION;
        result.result = 0;
        snprintf(line, sizeof line, "Read stream %u sending %ld", (unsigned)parms->streamID, i + 1);
        Record(line);
        coreCallback(&event, &result);
        snprintf(line, sizeof line, "Read stream %u block %ld answered %d", (unsigned)parms->streamID, i + 1,
                 (int)result.result);
        Record(line);
        if (result.result != EVENT_ACCEPTED)
            break;
    }
    snprintf(line, sizeof line, "Read stream %u end", (unsigned)parms->streamID);
    Record(line);
    return 0;
}

PROBE_EXPORT int Write(void* in, void* out)
{
    const _WriteParmsIn* event = (const _WriteParmsIn*)in;
    char line[700];
    size_t length = 0;
    const char* text = (const char*)event->data;
    int32_t level;
    memcpy(&level, event->extra + EVENT_EXTRA_LOG_LEVEL, sizeof level);
    while (text != NULL && length < event->len && length < 600 && text[length] != '\0')
        ++length;
    snprintf(line, sizeof line, "Write 0x%08lX 0x%lX 0x%08lX %d %.*s", (unsigned long)event->providerID,
             (unsigned long)event->eventType, (unsigned long)event->eventFlags, (int)level, (int)length,
             text != NULL ? text : "");
    Record(line);
    ((_WriteParmsOut*)out)->keep = (uint32_t)settings.keep;
    return 0;
}

PROBE_EXPORT int Seek(void* in, void* out)
{
    (void)in;
    (void)out;
    Record("Seek");
    return 0;
}

PROBE_EXPORT int IOCTL(void* in, void* out)
{
    const _IoctlParmsIn* parms = (const _IoctlParmsIn*)in;
    char line[64];
    (void)out;
    if (parms->command == IOCTL_WORKER) {
        Record("Worker begin");
        WaitUntilClosed();
        Record("Worker end");
        return 0;
    }
    snprintf(line, sizeof line, "IOCTL %u", (unsigned)parms->command);
    Record(line);
    return 0;
}
