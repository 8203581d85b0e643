/* Compiled as strict C99 and run by ctest: a plugin written in C must be able to include the SDK
 * header, and each event initialiser of the SDK must fill exactly the record the core reads. The
 * expected records are written out field by field with the ABI's own figures, as plugins filled
 * them by hand. */
#include <dvrcore/media.h>
#include <dvrcore/plugin_api.h>

#include <stdio.h>

#define EXPECTED_EVENT_SIZE (UINTPTR_MAX == 0xFFFFFFFFu ? 184u : 192u) /* pointers widen on 64-bit hosts */
#define PROVIDER 0x00B00000u

static int failures;

static void Fail(const char* initialiser)
{
    fprintf(stderr, "%s: not the record the core reads\n", initialiser);
    ++failures;
}

/* Leaves garbage where the next record will be built, so a field left unset cannot pass as zero. */
static void DirtyStack(void)
{
    volatile unsigned char garbage[2048];
    size_t i;
    for (i = 0; i < sizeof garbage; ++i)
        garbage[i] = 0xA5;
}

/* An event record as the core expects it: header, the given fields, and everything else zero. */
static _EventParmsIn Expected(uint32_t len, void* data, uint32_t eventType, uint32_t eventFlags)
{
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.size = EXPECTED_EVENT_SIZE;
    event.version = 1;
    event.len = len;
    event.data = data;
    event.providerID = PROVIDER;
    event.eventType = eventType;
    event.eventFlags = eventFlags;
    return event;
}

/* Compares every field the core reads and every byte of extra (padding is no part of the record). */
static void ExpectEvent(const char* initialiser, const _EventParmsIn* got, const _EventParmsIn* expected)
{
    if (got->size != expected->size || got->version != expected->version || got->len != expected->len ||
        got->data != expected->data || got->providerID != expected->providerID || got->streamID != expected->streamID ||
        got->eventType != expected->eventType || got->eventFlags != expected->eventFlags ||
        memcmp(got->extra, expected->extra, sizeof got->extra) != 0)
        Fail(initialiser);
}

/* The media convention's events carry the camera's key bit, and its readers refuse records whose
 * claimed sizes run past the event's data. */
static void CheckMediaRecords(void)
{
    unsigned char bytes[sizeof(_DvrMediaParams) + 8];
    _DvrMediaFrame frame;
    _DvrMediaFrame readFrame;
    _DvrMediaParams params;
    _DvrMediaParams readParams;
    _EventParmsIn got;

    memset(&frame, 0, sizeof frame);
    frame.size = sizeof frame;
    frame.version = DVR_MEDIA_FRAME_VERSION;
    frame.camera = 17;
    frame.flags = DVR_MEDIA_KEY_FRAME;
    got = DvrMediaFrameEvent(PROVIDER, EVT_VIDEO, &frame, sizeof frame);
    if (got.eventFlags != (EVF_MEDIA_GATED | 0x00000200u) || EventKeyFrame(&got) != 1 || got.data != &frame)
        Fail("DvrMediaFrameEvent (video key frame of camera 17)");
    got = DvrMediaFrameEvent(PROVIDER, EVT_AUDIO, &frame, sizeof frame);
    if (EventKeyFrame(&got) != 0)
        Fail("DvrMediaFrameEvent (audio never marks the gate's key-frame byte)");
    if (!DvrReadMediaFrame(&frame, sizeof frame, &readFrame) || readFrame.camera != 17 ||
        DvrReadMediaFrame(&frame, sizeof frame - 1, &readFrame))
        Fail("DvrReadMediaFrame");

    memset(&params, 0, sizeof params);
    params.size = sizeof params;
    params.version = DVR_MEDIA_PARAMS_VERSION;
    params.camera = 3;
    params.videoExtradataLength = 5;
    params.audioExtradataLength = 3;
    strcpy(params.name, "gate");
    memcpy(bytes, &params, sizeof params);
    got = DvrMediaParamsEvent(PROVIDER, (const _DvrMediaParams*)(const void*)bytes, sizeof bytes);
    if (got.eventType != DVR_EVT_MEDIA_PARAMS || got.eventFlags != 0x00000800u || got.len != sizeof bytes)
        Fail("DvrMediaParamsEvent");
    if (!DvrReadMediaParams(bytes, sizeof bytes, &readParams) ||
        DvrReadMediaParams(bytes, sizeof bytes - 1, &readParams))
        Fail("DvrReadMediaParams (extradata of 8 bytes)");
    params.videoExtradataLength = 0xFFFFFFFFu; /* would wrap a careless sum */
    memcpy(bytes, &params, sizeof params);
    if (DvrReadMediaParams(bytes, sizeof bytes, &readParams))
        Fail("DvrReadMediaParams (extradata longer than the event)");
    memset(params.name, 'x', sizeof params.name);
    params.videoExtradataLength = 0;
    memcpy(bytes, &params, sizeof params);
    if (DvrReadMediaParams(bytes, sizeof bytes, &readParams))
        Fail("DvrReadMediaParams (name without its terminator)");
}

int main(void)
{
    char text[] = "abc";
    unsigned char frame[64];
    _EventParmsIn got;
    _EventParmsIn expected;
    _EventParmsOut answer;

    DirtyStack();
    answer = DvrEventParmsOut();
    if (answer.size != 12 || answer.version != 1 || answer.result != 0)
        Fail("DvrEventParmsOut");

    DirtyStack();
    got = DvrEventParmsIn(PROVIDER, 0x0008u, 0x00000100u);
    expected = Expected(0, NULL, 0x0008u, 0x00000100u);
    ExpectEvent("DvrEventParmsIn", &got, &expected);

    /* The terminating zero is counted; the level is an int32 at extra[8], little-endian on every target. */
    DirtyStack();
    got = DvrLogEvent(PROVIDER, 75, text);
    expected = Expected(4, text, 0x0040u, 0x00000002u);
    expected.extra[8] = 75;
    ExpectEvent("DvrLogEvent", &got, &expected);
    if (EventLogLevel(&got) != 75)
        Fail("DvrLogEvent, read back with EventLogLevel");

    DirtyStack();
    got = DvrLogQueryEvent(PROVIDER);
    expected = Expected(0, NULL, 0x0040u, 0x00000001u);
    ExpectEvent("DvrLogQueryEvent", &got, &expected);

    /* Any non-zero isKeyFrame marks a key frame with the byte 1 at extra[18]; a frame that is not a
     * key frame leaves extra all zero. */
    DirtyStack();
    got = DvrFrameEvent(PROVIDER, EVT_VIDEO, EVF_MEDIA_GATED | 0x4u, frame, sizeof frame, 2);
    expected = Expected(sizeof frame, frame, 0x0001u, 0x01000004u);
    expected.extra[18] = 1;
    ExpectEvent("DvrFrameEvent (key frame)", &got, &expected);
    if (EventKeyFrame(&got) != 1)
        Fail("DvrFrameEvent, read back with EventKeyFrame");
    DirtyStack();
    got = DvrFrameEvent(PROVIDER, EVT_AUDIO, EVF_MEDIA_GATED | 0x4u, frame, sizeof frame, 0);
    expected = Expected(sizeof frame, frame, 0x0002u, 0x01000004u);
    ExpectEvent("DvrFrameEvent (audio)", &got, &expected);

    DirtyStack();
    got = DvrReleaseEvent(PROVIDER, frame);
    expected = Expected(0, frame, 0x0200u, 0);
    ExpectEvent("DvrReleaseEvent", &got, &expected);

    DirtyStack();
    got = DvrParentSendEvent(PROVIDER, frame, 5);
    expected = Expected(5, frame, 0x2000u, 0);
    ExpectEvent("DvrParentSendEvent", &got, &expected);

    CheckMediaRecords();

    if (failures == 0)
        printf("every event initialiser fills the record the core reads\n");
    return failures == 0 ? 0 : 1;
}
