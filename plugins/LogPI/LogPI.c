/*
 * LogPI: the bundled log plugin. Appends every log line delivered to it, the core's and the
 * plugins', as one line "YYYY-MM-DD HH:MM:SS.mmm 0xPPPPPPPP LLL text" (UTC) to dvrcore.log in the
 * working directory. The file is kept below LOG_FILE_LIMIT bytes by rotation into dvrcore.log.1 to
 * dvrcore.log.3.
 *
 * The core may load this file twice: once as an ordinary plugin and once as its shutdown logger.
 * Both loads share the globals below, so the file is opened by the first Open and closed by the
 * last Close, and lines from both instances (the queue worker's Write and the shutdown logger's
 * direct writes) are serialised by one mutex.
 */
#define _POSIX_C_SOURCE 200809L

#include <dvrcore/plugin_api.h>

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#define LOGPI_EXPORT __attribute__((visibility("default")))

/* A provider ID without a fixed role in the core. */
#define LOGPI_PROVIDER_ID 0x00100000u
/* Class 0x40 (EVT_LOG) is the seventh class mask. */
#define LOGPI_LOG_CLASS 6
/* Routing key of a log line: EVF_LOG_MESSAGE, with the media-gated attribute as the core moves it
 * for delivery (the core's own lines and those sent like them carry it). */
#define LOGPI_LOG_KEY (EVF_LOG_MESSAGE | (EVF_MEDIA_GATED << 1))

#define LOG_FILE_NAME "dvrcore.log"
#define LOG_FILE_LIMIT (1024L * 1024L)
#define LOG_FILE_GENERATIONS 3

/* Guards logFile, logFileSize and openCount. Never held while calling into the core. */
static pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;
static FILE* logFile;      /* open while openCount > 0 */
static long logFileSize;   /* bytes in the current file */
static unsigned openCount; /* instances opened and not yet closed */

/* Opens the current file for appending and learns its size. Caller holds logLock. */
static void OpenLogFile(void)
{
    logFile = fopen(LOG_FILE_NAME, "a");
    logFileSize = 0;
    /* Writes go to the end whatever the position; the seek is there for ftell, to learn the size. */
    /* cppcheck-suppress seekOnAppendedFile */
    if (logFile != NULL && fseek(logFile, 0, SEEK_END) == 0)
        logFileSize = ftell(logFile);
    if (logFileSize < 0)
        logFileSize = 0;
}

/* Shifts dvrcore.log.2 to .3, .1 to .2 and the current file to .1, and starts a new one. Caller
 * holds logLock. */
static void RotateLogFile(void)
{
    char from[sizeof LOG_FILE_NAME + 8];
    char to[sizeof LOG_FILE_NAME + 8];
    int generation;

    if (logFile != NULL)
        fclose(logFile);
    for (generation = LOG_FILE_GENERATIONS; generation > 1; --generation) {
        snprintf(from, sizeof from, "%s.%d", LOG_FILE_NAME, generation - 1);
        snprintf(to, sizeof to, "%s.%d", LOG_FILE_NAME, generation);
        rename(from, to);
    }
    snprintf(to, sizeof to, "%s.1", LOG_FILE_NAME);
    rename(LOG_FILE_NAME, to);
    OpenLogFile();
}

/* Appends one line: prefix, then text of length bytes with line breaks turned into spaces. */
static void AppendLine(const char* prefix, const char* text, size_t length)
{
    size_t prefixLength = strlen(prefix);
    size_t i;

    pthread_mutex_lock(&logLock);
    if (logFile != NULL && logFileSize > 0 && logFileSize + (long)(prefixLength + length + 1) > LOG_FILE_LIMIT)
        RotateLogFile();
    if (logFile != NULL) {
        fputs(prefix, logFile);
        for (i = 0; i < length; ++i)
            fputc(text[i] == '\n' || text[i] == '\r' ? ' ' : text[i], logFile);
        fputc('\n', logFile);
        fflush(logFile);
        logFileSize += (long)(prefixLength + length + 1);
    }
    pthread_mutex_unlock(&logLock);
}

LOGPI_EXPORT int Load(void* in, void* out)
{
    _LoadParmsOut* self = (_LoadParmsOut*)out;
    (void)in;
    if (self == NULL || self->size < sizeof(_LoadParmsOut))
        return 1;
    self->providerID = LOGPI_PROVIDER_ID;
    self->classMasks[LOGPI_LOG_CLASS] = LOGPI_LOG_KEY;
    self->acceptsWrites = 1;
    self->logLevelDefault = 0;
    return 0;
}

LOGPI_EXPORT int Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

/* Counts the instance as open even when the file cannot be opened (it is closed all the same);
 * the return value tells the core that its lines will be lost. */
LOGPI_EXPORT int Open(void* in, void* out)
{
    int result;
    (void)in;
    (void)out;
    pthread_mutex_lock(&logLock);
    if (openCount++ == 0)
        OpenLogFile();
    result = logFile != NULL ? 0 : 1;
    pthread_mutex_unlock(&logLock);
    return result;
}

LOGPI_EXPORT int Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&logLock);
    if (openCount > 0 && --openCount == 0 && logFile != NULL) {
        fclose(logFile);
        logFile = NULL;
    }
    pthread_mutex_unlock(&logLock);
    return 0;
}

LOGPI_EXPORT int Write(void* in, void* out)
{
    const _WriteParmsIn* event = (const _WriteParmsIn*)in;
    const char* text;
    size_t length;
    int32_t level;
    char prefix[128];
    struct timespec now;
    struct tm utc;

    (void)out;
    if (event == NULL || event->size < sizeof(_WriteParmsIn))
        return 0;
    if ((event->eventType & EVT_LOG) == 0 || (event->eventFlags & EVF_LOG_MESSAGE) == 0)
        return 0;
    if (event->data == NULL || event->len == 0)
        return 0;
    /* The text need not end with a zero byte: read only within len, and stop at one. */
    text = (const char*)event->data;
    for (length = 0; length < event->len && text[length] != '\0'; ++length) {
    }
    if (length == 0)
        return 0;
    memcpy(&level, event->extra + EVENT_EXTRA_LOG_LEVEL, sizeof level);

    clock_gettime(CLOCK_REALTIME, &now);
    gmtime_r(&now.tv_sec, &utc);
    snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03ld 0x%08lX %3d ", utc.tm_year + 1900,
             utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, now.tv_nsec / 1000000L,
             (unsigned long)event->providerID, (int)level);
    AppendLine(prefix, text, length);
    return 0;
}

/* Required by the core's shutdown logger; this plugin has no worker loop and takes no reads. */
LOGPI_EXPORT int IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

LOGPI_EXPORT int Read(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}
