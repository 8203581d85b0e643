/*
 * plugin_load_thread: a plugin whose Load starts a thread that outlives it, for the loader's
 * refusals after Load. Like plugin_probe, a copy DIR/plugins/NAME.so reads "key value" lines from
 * DIR/NAME.conf at Load and appends its calls as "NAME what" to DIR/calls.log.
 *
 * Settings (all default to 0):
 *   id N       provider ID
 *   thread 1   Load starts a detached thread that wakes every millisecond; once Unload has run it
 *              raises an event (class 0x0008, 4 bytes) from that thread at each wake-up, 200 in
 *              all, ignoring that it was unloaded, then ends
 *
 * Calls: "Load", "Unload", "answered N" (the core's answer to the thread's first event), "done N
 * of M refused" (when the thread ends).
 */
#define _GNU_SOURCE

#include <dvrcore/plugin_api.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define THREAD_EVENTS 200

static unsigned long id;
static long startThread;
static char stem[256];     /* this copy's file name without ".so"; written by Load */
static char baseDir[4096]; /* the folder above this copy's folder; written by Load */
static PluginEntryPoint coreCallback;
static int unloaded; /* set by Unload (atomic builtins) */

static void Record(const char* what)
{
    char path[4400];
    char line[512];
    int length;
    int fd;
    snprintf(path, sizeof path, "%s/calls.log", baseDir);
    length = snprintf(line, sizeof line, "%s %s\n", stem, what);
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0)
        return;
    if (write(fd, line, (size_t)length) < 0) {
    }
    close(fd);
}

/* Learns stem and baseDir from DIR/FOLDER/NAME.so, and reads DIR/NAME.conf. */
static void ReadSettings(void)
{
    Dl_info self;
    char path[4400];
    char key[64];
    unsigned long value;
    char* slash;
    FILE* file;

    if (dladdr((void*)&ReadSettings, &self) == 0 || self.dli_fname == NULL)
        return;
    snprintf(path, sizeof path, "%s", self.dli_fname);
    slash = strrchr(path, '/');
    if (slash == NULL)
        return;
    snprintf(stem, sizeof stem, "%s", slash + 1);
    if (strlen(stem) > 3)
        stem[strlen(stem) - 3] = '\0';
    *slash = '\0';
    slash = strrchr(path, '/');
    if (slash == NULL)
        return;
    *slash = '\0';
    snprintf(baseDir, sizeof baseDir, "%.4000s", path);

    snprintf(path, sizeof path, "%s/%s.conf", baseDir, stem);
    file = fopen(path, "r");
    if (file == NULL)
        return;
    while (fscanf(file, "%63s %li", key, (long*)&value) == 2) {
        if (strcmp(key, "id") == 0)
            id = value;
        else if (strcmp(key, "thread") == 0)
            startThread = (long)value;
    }
    fclose(file);
}

static void* RaiseEvents(void* unused)
{
    long sent = 0;
    long refused = 0;
    char line[64];
    (void)unused;
    while (sent < THREAD_EVENTS) {
        struct timespec pause = {0, 1000000L};
        char beat[4] = "beat";
        _EventParmsIn event;
        _EventParmsOut result;
        nanosleep(&pause, NULL);
        if (!__atomic_load_n(&unloaded, __ATOMIC_ACQUIRE))
            continue;
        event = DvrEventParmsIn((uint32_t)id, 0x0008u, 0x1u);
        event.data = beat;
        event.len = sizeof beat;
        result = DvrEventParmsOut();
        coreCallback(&event, &result);
        if (sent++ == 0) {
            snprintf(line, sizeof line, "answered %d", (int)result.result);
            Record(line);
        }
        if (result.result == EVENT_REFUSED)
            ++refused;
    }
    snprintf(line, sizeof line, "done %ld of %ld refused", refused, sent);
    Record(line);
    return NULL;
}

EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    pthread_t thread;
    ReadSettings();
    coreCallback = ((const _LoadParmsIn*)in)->callback;
    Record("Load");
    if (startThread != 0 && pthread_create(&thread, NULL, RaiseEvents, NULL) == 0)
        pthread_detach(thread);
    self->providerID = (uint32_t)id;
    return 0;
}

EXPORT int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    Record("Unload");
    __atomic_store_n(&unloaded, 1, __ATOMIC_RELEASE);
    return 0;
}
