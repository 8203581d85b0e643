/*
 * harness_subject: the test plugin of the harness's own tests, built with the SDK header only.
 * Provider ID 0x00B00000; takes video events of routing key bit 0x1, configuration documents,
 * parent packets, a worker thread and reads. What it does wrong on purpose is chosen by the
 * configuration document (words: keep, modify, hang) and by parent packet bodies:
 *   release          gives back every kept block once      release-twice    the first one twice
 *   release-foreign  the first under another ID, and a pointer it never got
 *   raise N          raises N video events and sends their answers to the parent ("0 5 ...")
 *   fail TEXT        a level-100 log line                   stray-thread    starts a thread that never ends
 *   wake             ends a Write that hangs                 stream-again    the stream reader sends once more
 * A Write or parent packet after Close logs a level-100 line. Open logs "opened" at 25; the worker asks for its log
 * threshold and waits for Close; a stream Read sends one video event of its stream, has a thread of its own send
 * another, then waits for stream-again and sends a third.
 */
#include <dvrcore/plugin_api.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define SUBJECT_EXPORT __attribute__((visibility("default")))
#define SUBJECT_ID 0x00B00000u
#define MAX_KEPT 16

static PluginEntryPoint callback; /* written by Load */

/* Guards every variable below; signalled when closed, woken or again changes. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int keepBlocks, modifyBlocks, hangWrites, closed, woken;
static unsigned again; /* counts stream-again commands */
static void* kept[MAX_KEPT];
static int keptCount;

static int32_t Raise(_EventParmsIn event)
{
    _EventParmsOut answer = DvrEventParmsOut();
    callback(&event, &answer);
    return answer.result;
}

static void Release(void* block, uint32_t providerID)
{
    Raise(DvrReleaseEvent(providerID, block));
}

SUBJECT_EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* info = (_LoadParmsOut*)out;
    callback = ((_LoadParmsIn*)in)->callback;
    info->providerID = SUBJECT_ID;
    info->classMasks[0] = 0x1;
    info->wantsWorkerThread = 1;
    info->wantsReads = 1;
    info->acceptsWrites = 1;
    pthread_mutex_lock(&lock);
    keepBlocks = modifyBlocks = hangWrites = closed = woken = keptCount = 0;
    pthread_mutex_unlock(&lock);
    return 0;
}

SUBJECT_EXPORT int Open(void* in, void* out)
{
    (void)in;
    (void)out;
    _EventParmsIn line = DvrLogEvent(SUBJECT_ID, 25, "opened");
    Raise(line);
    return 0;
}

SUBJECT_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closed = 1;
    woken = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);
    return 0;
}

SUBJECT_EXPORT int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

SUBJECT_EXPORT int Write(void* in, void* out)
{
    _WriteParmsIn* event = (_WriteParmsIn*)in;
    pthread_mutex_lock(&lock);
    if (closed)
        Raise(DvrLogEvent(SUBJECT_ID, 100, "Write after Close"));
    if (hangWrites)
        while (!woken)
            pthread_cond_wait(&changed, &lock);
    if (modifyBlocks && event->len > 0)
        ((uint8_t*)event->data)[0] ^= 1;
    if (keepBlocks && keptCount < MAX_KEPT) {
        kept[keptCount++] = event->data;
        ((_WriteParmsOut*)out)->keep = 1;
    }
    pthread_mutex_unlock(&lock);
    return 0;
}

static void* StrayThread(void* unused)
{
    (void)unused;
    pause(); /* never ends */
    return NULL;
}

static void* StreamHelper(void* streamID)
{
    _EventParmsIn event = DvrFrameEvent(SUBJECT_ID, EVT_VIDEO, 0x1, "helper", 6, 0);
    event.streamID = *(uint32_t*)streamID;
    Raise(event);
    return NULL;
}

static void Parent(const char* command, uint32_t len)
{
    char text[256];
    snprintf(text, sizeof text, "%.*s", (int)len, command);
    pthread_mutex_lock(&lock);
    if (strcmp(text, "release") == 0 || strcmp(text, "release-twice") == 0 || strcmp(text, "release-foreign") == 0) {
        int count = keptCount;
        void* blocks[MAX_KEPT];
        memcpy(blocks, kept, sizeof blocks);
        keptCount = 0;
        pthread_mutex_unlock(&lock);
        if (strcmp(text, "release-foreign") == 0) {
            Release(blocks[0], SUBJECT_ID + 0x10000);
            Release(text, SUBJECT_ID);
            return;
        }
        for (int i = 0; i < count; ++i)
            Release(blocks[i], SUBJECT_ID);
        if (strcmp(text, "release-twice") == 0 && count > 0)
            Release(blocks[0], SUBJECT_ID);
        return;
    }
    if (strcmp(text, "wake") == 0)
        woken = 1;
    if (strcmp(text, "stream-again") == 0)
        ++again;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&lock);

    int count = 0;
    if (sscanf(text, "raise %d", &count) == 1) {
        char* answers = malloc(16 * (size_t)count + 1);
        answers[0] = '\0';
        for (int i = 0; i < count; ++i) {
            char frame[4] = {(char)i, 0, 0, 0};
            int32_t result = Raise(DvrFrameEvent(SUBJECT_ID, EVT_VIDEO, 0x1, frame, sizeof frame, 0));
            sprintf(answers + strlen(answers), i == 0 ? "%d" : " %d", (int)result);
        }
        Raise(DvrParentSendEvent(SUBJECT_ID, answers, (uint32_t)strlen(answers)));
    } else if (strncmp(text, "fail ", 5) == 0) {
        Raise(DvrLogEvent(SUBJECT_ID, 100, text + 5));
    } else if (strcmp(text, "stray-thread") == 0) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, StrayThread, NULL) == 0)
            pthread_detach(thread);
    }
}

SUBJECT_EXPORT int IOCTL(void* in, void* out)
{
    _IoctlParmsIn* parms = (_IoctlParmsIn*)in;
    (void)out;
    if (parms->command == IOCTL_WORKER) {
        Raise(DvrLogQueryEvent(SUBJECT_ID));
        pthread_mutex_lock(&lock);
        while (!closed)
            pthread_cond_wait(&changed, &lock);
        pthread_mutex_unlock(&lock);
    } else if (parms->command == IOCTL_CONFIG) {
        char text[256];
        snprintf(text, sizeof text, "%.*s", (int)parms->len, (const char*)parms->data);
        pthread_mutex_lock(&lock);
        keepBlocks = strstr(text, "keep") != NULL;
        modifyBlocks = strstr(text, "modify") != NULL;
        hangWrites = strstr(text, "hang") != NULL;
        pthread_mutex_unlock(&lock);
    } else if (parms->command == IOCTL_PARENT && parms->len >= PARENT_PACKET_HEADER_SIZE) {
        pthread_mutex_lock(&lock);
        int late = closed;
        pthread_mutex_unlock(&lock);
        if (late)
            Raise(DvrLogEvent(SUBJECT_ID, 100, "IOCTL_PARENT after Close"));
        Parent((const char*)parms->data + PARENT_PACKET_HEADER_SIZE, parms->len - PARENT_PACKET_HEADER_SIZE);
    }
    return 0;
}

SUBJECT_EXPORT int Read(void* in, void* out)
{
    _ReadParmsIn* parms = (_ReadParmsIn*)in;
    (void)out;
    if (parms->streamID == 0)
        return 0; /* the asynchronous read: nothing to do */
    uint32_t streamID = parms->streamID;
    _EventParmsIn event = DvrFrameEvent(SUBJECT_ID, EVT_VIDEO, 0x1, parms->data, parms->len, 0);
    event.streamID = streamID;
    pthread_mutex_lock(&lock);
    unsigned seen = again;
    pthread_mutex_unlock(&lock);
    Raise(event);
    pthread_t helper;
    if (pthread_create(&helper, NULL, StreamHelper, &streamID) == 0)
        pthread_join(helper, NULL);
    pthread_mutex_lock(&lock);
    while (again == seen && !closed)
        pthread_cond_wait(&changed, &lock);
    pthread_mutex_unlock(&lock);
    Raise(event);
    return 0;
}
