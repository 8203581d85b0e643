/*
 * dvrcore media frame convention.
 *
 * How plugins hand real audio and video to each other through the core, without any media library:
 * a stream-parameters event describing one camera's video and audio, and a header at the start of
 * every gated video or audio frame's data. The core routes and gates these events like any other;
 * the layouts below are agreed between plugins only.
 *
 * Routing: everything of camera n carries the routing key DVR_MEDIA_CAMERA_KEY(n), one of the 16 key
 * bits 8 to 23 (cameras 16 apart share a bit; a receiver tells them apart by the camera number in
 * the records). Video frames are EVT_VIDEO and audio frames EVT_AUDIO, both with EVF_MEDIA_GATED; the
 * stream parameters are DVR_EVT_MEDIA_PARAMS without it, so they are never throttled. A receiver of
 * every camera sets DVR_MEDIA_FRAME_MASK as its video and audio class masks and DVR_MEDIA_KEYS as
 * its DVR_EVT_MEDIA_PARAMS class mask.
 *
 * Every record starts with `size` (its real size) and `version`; the bytes after the record belong
 * to it (a frame's coded bytes, a camera's extradata), so a receiver finds them at data + size and
 * stays compatible with a later, longer record. The layouts are the same on 32- and 64-bit targets:
 * no pointers, and 64-bit fields on 8-byte offsets. Plain C99; usable from C++.
 */
#ifndef DVRCORE_MEDIA_H
#define DVRCORE_MEDIA_H

#include <dvrcore/plugin_api.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Routing --------------------------------------------------------------------------------- */

/* The class of stream-parameters events: one of the routable classes with no meaning to the core. */
#define DVR_EVT_MEDIA_PARAMS 0x0010u

#define DVR_MEDIA_CAMERA_KEY(camera) (0x00000100u << ((uint32_t)(camera) % 16u))
#define DVR_MEDIA_KEYS 0x00FFFF00u
/* The video and audio class mask of a receiver of every camera: the camera keys and the gated flag
 * (which reaches Write one bit up). */
#define DVR_MEDIA_FRAME_MASK (DVR_MEDIA_KEYS | (EVF_MEDIA_GATED << 1))

/* ---- Codecs ---------------------------------------------------------------------------------- */

/* A codec is a FourCC, the first character in the lowest byte; 0 means the camera has no such track. */
#define DVR_FOURCC(a, b, c, d)                                                                                         \
    ((uint32_t)(uint8_t)(a) | ((uint32_t)(uint8_t)(b) << 8) | ((uint32_t)(uint8_t)(c) << 16) |                         \
     ((uint32_t)(uint8_t)(d) << 24))
/* H.264 and H.265: frames as Annex B byte streams when the extradata is empty or starts with a start
 * code, otherwise length-prefixed NAL units described by the avcC or hvcC record in the extradata. */
#define DVR_CODEC_H264 DVR_FOURCC('H', '2', '6', '4')
#define DVR_CODEC_HEVC DVR_FOURCC('H', 'E', 'V', 'C')
/* AAC: raw access units (no ADTS headers); the extradata is the AudioSpecificConfig. */
#define DVR_CODEC_AAC DVR_FOURCC('A', 'A', 'C', ' ')
/* G.711 A-law and mu-law: one byte a sample; no extradata. */
#define DVR_CODEC_ALAW DVR_FOURCC('A', 'L', 'A', 'W')
#define DVR_CODEC_ULAW DVR_FOURCC('U', 'L', 'A', 'W')

/* Media timestamps count 1/90,000 s. */
#define DVR_MEDIA_CLOCK_RATE 90000

/* ---- Stream parameters ----------------------------------------------------------------------- */

/* Flags of the stream parameters. */
#define DVR_MEDIA_DISCONTINUITY 0x00000001u /* the timeline breaks here: a reconnect, or a restarted file */

#define DVR_MEDIA_NAME_SIZE 64
#define DVR_MEDIA_PARAMS_VERSION 1u

/* The data of a DVR_EVT_MEDIA_PARAMS event: one camera's tracks, then videoExtradataLength bytes of
 * video extradata and audioExtradataLength bytes of audio extradata at data + size. Sent before the
 * camera's first frame, and again before the first frame after any change or reconnect. */
typedef struct _DvrMediaParams {
    uint32_t size;                 /* sizeof(_DvrMediaParams) */
    uint32_t version;              /* DVR_MEDIA_PARAMS_VERSION */
    uint32_t camera;               /* the camera number, as in its frames */
    uint32_t flags;                /* DVR_MEDIA_DISCONTINUITY */
    uint32_t generation;           /* counts the camera's connections, from 1 */
    uint32_t videoCodec;           /* DVR_CODEC_, or 0 */
    uint32_t width;                /* pixels */
    uint32_t height;               /* pixels */
    uint32_t videoExtradataLength; /* bytes */
    uint32_t audioCodec;           /* DVR_CODEC_, or 0 */
    uint32_t sampleRate;           /* Hz */
    uint32_t channels;
    uint32_t audioExtradataLength;  /* bytes, after the video extradata */
    char name[DVR_MEDIA_NAME_SIZE]; /* the camera's name, zero-terminated: letters, digits, '-', '_', '.' */
} _DvrMediaParams;

/* ---- Frames ---------------------------------------------------------------------------------- */

/* Flags of a frame header. */
#define DVR_MEDIA_KEY_FRAME 0x00000001u /* also set in the event's key-frame byte for video */
#define DVR_MEDIA_NO_DTS 0x00000002u    /* the stream gave no decode time: dts is a copy of pts */
/* The sender follows the receiver's flow records (below): it never has more of the camera's frames
 * in flight than the last record allows, so a receiver that sends them drops no such frame for a
 * full queue. A file read for import sets it; a live camera, which cannot wait, does not. */
#define DVR_MEDIA_FLOW_CONTROLLED 0x00000004u
/* A video key frame sent again, with its sequence and bytes, only to open the core's key-frame gate
 * after the core refused a frame: a receiver that has this sequence already skips it. */
#define DVR_MEDIA_REPEATED 0x00000008u

#define DVR_MEDIA_FRAME_VERSION 1u

/* The start of a gated frame's data; the coded bytes follow at data + size. */
typedef struct _DvrMediaFrame {
    uint32_t size;         /* sizeof(_DvrMediaFrame) */
    uint32_t version;      /* DVR_MEDIA_FRAME_VERSION */
    uint32_t camera;       /* the camera number */
    uint32_t sequence;     /* per camera and kind, counting every frame read, sent or dropped */
    int64_t dts;           /* decode time, 1/90,000 s */
    int64_t pts;           /* presentation time, 1/90,000 s */
    int64_t captureTimeNs; /* wall clock (CLOCK_REALTIME) when the frame was read, ns since 1970 */
    uint32_t duration;     /* 1/90,000 s; 0 when unknown */
    uint32_t flags;        /* DVR_MEDIA_KEY_FRAME, DVR_MEDIA_NO_DTS */
} _DvrMediaFrame;

/* A gated frame event of camera: kind EVT_VIDEO or EVT_AUDIO, data the frame header followed by
 * the coded bytes (len counts both). A video key frame also sets the event's key-frame byte. */
static inline _EventParmsIn DvrMediaFrameEvent(uint32_t providerID, uint32_t kind, const _DvrMediaFrame* frame,
                                               uint32_t len)
{
    int keyFrame = kind == EVT_VIDEO && (frame->flags & DVR_MEDIA_KEY_FRAME) != 0;
    return DvrFrameEvent(providerID, kind, EVF_MEDIA_GATED | DVR_MEDIA_CAMERA_KEY(frame->camera), frame, len, keyFrame);
}

/* A stream-parameters event: data the parameters followed by their extradata (len counts both). */
static inline _EventParmsIn DvrMediaParamsEvent(uint32_t providerID, const _DvrMediaParams* params, uint32_t len)
{
    _EventParmsIn event = DvrEventParmsIn(providerID, DVR_EVT_MEDIA_PARAMS, DVR_MEDIA_CAMERA_KEY(params->camera));
    event.len = len;
    event.data = (void*)(uintptr_t)params;
    return event;
}

/* Copies the frame header at the start of an event's data into frame; 0 when the data is too short for the
 * header it claims or of an unknown version. The header is copied out: data need not be aligned. */
static inline int DvrReadMediaFrame(const void* data, uint32_t len, _DvrMediaFrame* frame)
{
    if (data == NULL || len < sizeof *frame)
        return 0;
    memcpy(frame, data, sizeof *frame);
    return frame->version == DVR_MEDIA_FRAME_VERSION && frame->size >= sizeof *frame && frame->size <= len;
}

/* The same for stream parameters: also checks that the extradata fits and the name is terminated. */
static inline int DvrReadMediaParams(const void* data, uint32_t len, _DvrMediaParams* params)
{
    if (data == NULL || len < sizeof *params)
        return 0;
    memcpy(params, data, sizeof *params);
    return params->version == DVR_MEDIA_PARAMS_VERSION && params->size >= sizeof *params && params->size <= len &&
           params->videoExtradataLength <= len - params->size &&
           params->audioExtradataLength <= len - params->size - params->videoExtradataLength &&
           memchr(params->name, 0, sizeof params->name) != NULL;
}

/* ---- Flow records ---------------------------------------------------------------------------- */

/* The class of flow records: a receiver's progress on one camera's DVR_MEDIA_FLOW_CONTROLLED frames,
 * sent by the receiver with the camera's routing key, never gated. A sender of such frames sets
 * DVR_MEDIA_KEYS as its DVR_EVT_MEDIA_FLOW class mask. */
#define DVR_EVT_MEDIA_FLOW 0x0020u
#define DVR_MEDIA_FLOW_VERSION 1u

/* The data of a DVR_EVT_MEDIA_FLOW event. Byte counts are of the frames' events (their len), counted
 * from the first frame of the camera the receiver got. The sender may send a frame while the bytes it
 * had the core accept, less doneBytes, plus the frame's len, are at most windowBytes, and always
 * when the receiver is done with everything sent. A receiver sends a record at least whenever its
 * queue of the camera's frames runs empty, so a waiting sender always hears of it. */
typedef struct _DvrMediaFlow {
    uint32_t size;        /* sizeof(_DvrMediaFlow) */
    uint32_t version;     /* DVR_MEDIA_FLOW_VERSION */
    uint32_t camera;      /* the camera number */
    uint32_t reserved;    /* 0 */
    uint64_t doneBytes;   /* of the camera's frames the receiver has written or dropped */
    uint64_t windowBytes; /* how far beyond doneBytes the sender may go */
} _DvrMediaFlow;

/* A flow record event. */
static inline _EventParmsIn DvrMediaFlowEvent(uint32_t providerID, const _DvrMediaFlow* flow)
{
    _EventParmsIn event = DvrEventParmsIn(providerID, DVR_EVT_MEDIA_FLOW, DVR_MEDIA_CAMERA_KEY(flow->camera));
    event.len = sizeof *flow;
    event.data = (void*)(uintptr_t)flow;
    return event;
}

/* Copies a flow record out of an event's data; 0 when it is too short or of an unknown version. */
static inline int DvrReadMediaFlow(const void* data, uint32_t len, _DvrMediaFlow* flow)
{
    if (data == NULL || len < sizeof *flow)
        return 0;
    memcpy(flow, data, sizeof *flow);
    return flow->version == DVR_MEDIA_FLOW_VERSION && flow->size >= sizeof *flow && flow->size <= len;
}

/* ---- Layout checks --------------------------------------------------------------------------- */

#ifdef __cplusplus
#define DVR_MEDIA_LAYOUT_CHECK(condition, name) static_assert(condition, #name)
#else
#define DVR_MEDIA_LAYOUT_CHECK(condition, name) typedef char dvr_media_layout_check_##name[(condition) ? 1 : -1]
#endif

DVR_MEDIA_LAYOUT_CHECK(sizeof(_DvrMediaParams) == 116, media_params_size);
DVR_MEDIA_LAYOUT_CHECK(offsetof(_DvrMediaParams, audioCodec) == 36, media_params_audio_codec);
DVR_MEDIA_LAYOUT_CHECK(offsetof(_DvrMediaParams, name) == 52, media_params_name);
DVR_MEDIA_LAYOUT_CHECK(sizeof(_DvrMediaFrame) == 48, media_frame_size);
DVR_MEDIA_LAYOUT_CHECK(offsetof(_DvrMediaFrame, dts) == 16, media_frame_dts);
DVR_MEDIA_LAYOUT_CHECK(offsetof(_DvrMediaFrame, captureTimeNs) == 32, media_frame_capture);
DVR_MEDIA_LAYOUT_CHECK(offsetof(_DvrMediaFrame, flags) == 44, media_frame_flags);

DVR_MEDIA_LAYOUT_CHECK(sizeof(_DvrMediaFlow) == 32, media_flow_size);
DVR_MEDIA_LAYOUT_CHECK(offsetof(_DvrMediaFlow, doneBytes) == 16, media_flow_done);

#undef DVR_MEDIA_LAYOUT_CHECK

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_MEDIA_H */
