/*
 * dvrcore plugin interface.
 *
 * Everything a plugin needs to talk to the core: the entry point shape, the parameter and result
 * record of every entry point, the event records, their constants, and initialisers for the event
 * records a plugin fills. The core is built against this same header, so the layout here is the
 * layout the core uses.
 *
 * Every record starts with `size` (its real size in bytes) and `version`. The sizes and offsets
 * checked at the end of this file are those of the 32-bit ARM target; on a platform with 8-byte
 * pointers the same fields keep their order and natural alignment and `size` reports the wider
 * record. Plain C99; usable from C++.
 */
#ifndef DVRCORE_PLUGIN_API_H
#define DVRCORE_PLUGIN_API_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every entry point ("Load", "Unload", "Open", "Close", "Read", "Write", "Seek", "IOCTL") and the
 * event callback share this shape: 0 means success. */
typedef int (*PluginEntryPoint)(void* in, void* out);

/* ---- Provider IDs ---------------------------------------------------------------------------- */

#define CORE_PROVIDER_ID 0x80000000u
/* Bits 16 to 27 of a provider ID select the module: its log threshold, and the parent packets it gets. */
#define DVR_MODULE_INDEX(providerID) ((((uint32_t)(providerID)) >> 16) & 0xFFFu)
/* Provider IDs with a fixed role in the plugin table. */
#define PROVIDER_ID_OPENED_FIRST 0x00060000u   /* placed first: opened first, offered each event first */
#define PROVIDER_ID_UNLOADED_FIRST 0x00080000u /* closed and unloaded before every other plugin */
#define PROVIDER_ID_NEVER_UNMAPPED 0x00470000u /* its shared object stays mapped until the process ends */

/* Codes the core returns in place of a plugin's own return value. */
#define PLUGIN_NOT_LOADED 100           /* Load has not run */
#define PLUGIN_ENTRY_UNAVAILABLE (-100) /* entry point not exported, or already released */
#define PLUGIN_ENTRY_MISSING (-101)     /* a required entry point is missing */

/* ---- Event records --------------------------------------------------------------------------- */

/* Event types. EVT_RELEASE, EVT_STREAM_CLOSE and EVT_PARENT_SEND are exact values; the rest are bits. */
#define EVT_VIDEO 0x0001u
#define EVT_AUDIO 0x0002u
#define EVT_STATUS 0x0004u
#define EVT_LOG 0x0040u
#define EVT_CONFIG 0x0100u
#define EVT_RELEASE 0x0200u
#define EVT_STREAM_CLOSE 0x1000u
#define EVT_PARENT_SEND 0x2000u

/* The nine routable classes, in the order of the class masks of the Load result record. */
#define EVENT_CLASS_COUNT 9
/* clang-format off */
#define EVENT_CLASS_BITS {0x0001u, 0x0002u, 0x0004u, 0x0008u, 0x0010u, 0x0020u, 0x0040u, 0x0080u, 0x0400u}
/* clang-format on */

/* Event flags. Bits 0 to 23 are also routing key bits; bits 24 to 31 are attributes. */
#define EVF_LOG_QUERY 0x00000001u
#define EVF_LOG_MESSAGE 0x00000002u
#define EVF_MEDIA_GATED 0x01000000u
/* The flags of the core's own events: its log lines, and its XML documents (EVT_CONFIG, EVT_STATUS). */
#define EVF_CORE_LOG_LINE 0x01000002u
#define EVF_CORE_DOCUMENT 0x01000010u

/* Results in _EventParmsOut.result. */
#define EVENT_ACCEPTED 0
#define EVENT_REFUSED 1
#define EVENT_NO_KEY_FRAME 3
#define EVENT_GATE_EXPIRED 4
#define EVENT_THROTTLED 5
#define EVENT_NO_MEMORY (-1)

#define EVENT_PARMS_IN_VERSION 1u
#define EVENT_PARMS_OUT_VERSION 1u

/* Positions of the known fields inside `extra`. */
#define EVENT_EXTRA_SIZE 152
#define EVENT_EXTRA_LOG_LEVEL 8  /* int32: level of an EVT_LOG message, 0 to 100 */
#define EVENT_EXTRA_KEY_FRAME 18 /* uint8: 1 marks a key frame of a gated EVT_VIDEO */

/* An event, or a request to the core, as the sender fills it in. */
typedef struct _EventParmsIn {
    uint32_t size;                   /* sizeof(_EventParmsIn) */
    uint32_t version;                /* EVENT_PARMS_IN_VERSION */
    uint32_t len;                    /* bytes at data; 0 without data */
    void* data;                      /* the event's bytes, or null */
    uint32_t providerID;             /* the sender; 0 for a stream control event */
    uint32_t streamID;               /* 0 when the event belongs to no stream */
    uint32_t eventType;              /* EVT_ class bits or exact value */
    uint32_t eventFlags;             /* routing key bits 0 to 23, attributes 24 to 31 */
    uint8_t extra[EVENT_EXTRA_SIZE]; /* event-specific, passed to receivers unchanged */
} _EventParmsIn;

/* The core's answer to an event. */
typedef struct _EventParmsOut {
    uint32_t size;    /* sizeof(_EventParmsOut) */
    uint32_t version; /* EVENT_PARMS_OUT_VERSION */
    int32_t result;   /* EVENT_ result, or the threshold for a log threshold query */
} _EventParmsOut;

static inline int32_t EventLogLevel(const _EventParmsIn* event)
{
    int32_t level;
    memcpy(&level, event->extra + EVENT_EXTRA_LOG_LEVEL, sizeof level);
    return level;
}

static inline void SetEventLogLevel(_EventParmsIn* event, int32_t level)
{
    memcpy(event->extra + EVENT_EXTRA_LOG_LEVEL, &level, sizeof level);
}

static inline uint8_t EventKeyFrame(const _EventParmsIn* event)
{
    return event->extra[EVENT_EXTRA_KEY_FRAME];
}

static inline void SetEventKeyFrame(_EventParmsIn* event, uint8_t keyFrame)
{
    event->extra[EVENT_EXTRA_KEY_FRAME] = keyFrame;
}

/* ---- Event initialisers ---------------------------------------------------------------------- */

/* Each returns a record ready for the callback: size and version set, the fields its arguments
 * name filled in, every other field and every byte of `extra` zero. Set anything more (a
 * streamID, bytes of `extra` agreed with other plugins) on the returned record before the call:
 *
 *     _EventParmsIn event = DvrReleaseEvent(MY_PROVIDER_ID, block);
 *     _EventParmsOut result = DvrEventParmsOut();
 *     callback(&event, &result);
 *
 * Pointers taken as const are only read: the core copies what they point to before the call
 * returns. */

/* Any event or request: the sender, the class bits or exact request type, and the flags (routing
 * key bits 0 to 23, attributes 24 to 31). */
static inline _EventParmsIn DvrEventParmsIn(uint32_t providerID, uint32_t eventType, uint32_t eventFlags)
{
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = EVENT_PARMS_IN_VERSION;
    event.providerID = providerID;
    event.eventType = eventType;
    event.eventFlags = eventFlags;
    return event;
}

/* The record for the core's answer, with result EVENT_ACCEPTED: a release, and a log line below the
 * threshold, leave result as it was. */
static inline _EventParmsOut DvrEventParmsOut(void)
{
    _EventParmsOut answer;
    answer.size = sizeof answer;
    answer.version = EVENT_PARMS_OUT_VERSION;
    answer.result = EVENT_ACCEPTED;
    return answer;
}

/* A log line of the sender at level (0 detail, 25 information, 50 warning, 100 failure). text is
 * zero-terminated; len counts the terminating zero, as the core expects. */
static inline _EventParmsIn DvrLogEvent(uint32_t providerID, int32_t level, const char* text)
{
    _EventParmsIn event = DvrEventParmsIn(providerID, EVT_LOG, EVF_LOG_MESSAGE);
    if (text != NULL) {
        event.len = (uint32_t)strlen(text) + 1;
        event.data = (void*)(uintptr_t)text;
    }
    SetEventLogLevel(&event, level);
    return event;
}

/* Asks for the sender's log threshold: the answer's result is the threshold, or -1 when none is set.
 * A line is written when the threshold is -1 or the line's level is not below it. */
static inline _EventParmsIn DvrLogQueryEvent(uint32_t providerID)
{
    return DvrEventParmsIn(providerID, EVT_LOG, EVF_LOG_QUERY);
}

/* A media frame of eventType EVT_VIDEO or EVT_AUDIO. eventFlags is its routing key, with
 * EVF_MEDIA_GATED to pass the core's media gate; a non-zero isKeyFrame sets the key-frame byte to 1,
 * which a gated video frame needs first and after every refusal by the gate. */
static inline _EventParmsIn DvrFrameEvent(uint32_t providerID, uint32_t eventType, uint32_t eventFlags,
                                          const void* data, uint32_t len, int isKeyFrame)
{
    _EventParmsIn event = DvrEventParmsIn(providerID, eventType, eventFlags);
    event.len = len;
    event.data = (void*)(uintptr_t)data;
    SetEventKeyFrame(&event, isKeyFrame ? 1 : 0);
    return event;
}

/* Gives back a block the sender kept (keep set in a Write or IOCTL_CONFIG result). providerID is the
 * holder's own ID; each kept block is given back once, and not touched afterwards. */
static inline _EventParmsIn DvrReleaseEvent(uint32_t providerID, void* block)
{
    _EventParmsIn event = DvrEventParmsIn(providerID, EVT_RELEASE, 0);
    event.data = block;
    return event;
}

/* Sends len bytes to the parent daemon. block comes from malloc and belongs to the core from the call
 * on: the core frees it once sent, or at once when it cannot send. */
static inline _EventParmsIn DvrParentSendEvent(uint32_t providerID, void* block, uint32_t len)
{
    _EventParmsIn event = DvrEventParmsIn(providerID, EVT_PARENT_SEND, 0);
    event.len = len;
    event.data = block;
    return event;
}

/* ---- Entry point records --------------------------------------------------------------------- */

/* Load: the first call into a plugin. */
#define LOAD_PARMS_IN_VERSION 4u
typedef struct _LoadParmsIn {
    uint32_t size;
    uint32_t version;
    void* core;                /* opaque; null for the shutdown logger */
    PluginEntryPoint callback; /* raise events through this, from any thread */
    const char* coreText;      /* coreTextLength bytes, not zero-terminated */
    uint32_t coreTextLength;
} _LoadParmsIn;

/* Load result: the plugin's self-description. The core zeroes it and sets size and version. */
#define LOAD_PARMS_OUT_VERSION 2u
typedef struct _LoadParmsOut {
    uint32_t size;
    uint32_t version;
    uint32_t providerID;
    uint32_t classMasks[EVENT_CLASS_COUNT]; /* routing masks for the classes of EVENT_CLASS_BITS */
    uint32_t reserved1;
    uint8_t wantsWorkerThread; /* the core runs IOCTL_WORKER on a thread of its own */
    uint8_t reserved2;
    uint8_t wantsReads;    /* the plugin takes Read calls */
    uint8_t acceptsWrites; /* matching events are delivered to Write */
    uint32_t reserved3;
    int32_t error;           /* non-zero refuses the plugin */
    int32_t logLevelDefault; /* -1 to 100; 0 declares none */
} _LoadParmsOut;

#define OPEN_PARMS_IN_VERSION 1u
typedef struct _OpenParmsIn {
    uint32_t size;
    uint32_t version;
    uint32_t reserved[2];
    uint32_t shutdownInstance; /* 1 when opened as the core's shutdown logger */
} _OpenParmsIn;

#define OPEN_PARMS_OUT_VERSION 1u
typedef struct _OpenParmsOut {
    uint32_t size;
    uint32_t version;
    uint32_t reserved[2];
} _OpenParmsOut;

#define CLOSE_PARMS_IN_VERSION 1u
typedef struct _CloseParmsIn {
    uint32_t size;
    uint32_t version;
    uint32_t reserved;
} _CloseParmsIn;

#define CLOSE_PARMS_OUT_VERSION 1u
typedef struct _CloseParmsOut {
    uint32_t size;
    uint32_t version;
    int32_t error;
} _CloseParmsOut;

#define UNLOAD_PARMS_IN_VERSION 1u
typedef struct _UnloadParmsIn {
    uint32_t size;
    uint32_t version;
} _UnloadParmsIn;

#define UNLOAD_PARMS_OUT_VERSION 1u
typedef struct _UnloadParmsOut {
    uint32_t size;
    uint32_t version;
    int32_t error;
} _UnloadParmsOut;

/* IOCTL commands. */
#define IOCTL_WORKER 1u /* the plugin's worker loop; returns once the plugin is closed */
#define IOCTL_CONFIG 2u /* a configuration document (an EVT_CONFIG event's data) */
#define IOCTL_PARENT 4u /* one packet from the parent, header included */

#define IOCTL_PARMS_IN_VERSION 1u
#define IOCTL_PARMS_OUT_VERSION 1u
#define IOCTL_SUB_VERSION 1u
#define IOCTL_SUB_SIZE_NO_DATA 8u /* sub-record size of IOCTL_WORKER, and of every result record */
#define IOCTL_SUB_SIZE_DATA 16u   /* sub-record size of commands that carry data */

typedef struct _IoctlParmsIn {
    uint32_t size;
    uint32_t version;
    uint32_t command;
    uint32_t subSize;
    uint32_t subVersion;
    uint32_t len;
    void* data; /* valid during the call only */
} _IoctlParmsIn;

typedef struct _IoctlParmsOut {
    uint32_t size;
    uint32_t version;
    uint32_t command;
    int32_t error;
    uint32_t keep; /* IOCTL_CONFIG: non-zero keeps the data block (give it back with EVT_RELEASE) */
    uint32_t subSize;
    uint32_t subVersion;
} _IoctlParmsOut;

#define READ_PARMS_IN_VERSION 1u
typedef struct _ReadParmsIn {
    uint32_t size;
    uint32_t version;
    uint32_t reserved1;
    uint8_t flag; /* always 1 */
    uint8_t reserved2[3];
    uint32_t len;
    void* data;        /* a stream control event's data, owned by the reader thread */
    uint32_t streamID; /* 0 on the asynchronous read thread */
} _ReadParmsIn;

#define READ_PARMS_OUT_VERSION 1u
typedef struct _ReadParmsOut {
    uint32_t size;
    uint32_t version;
    uint32_t reserved[3];
} _ReadParmsOut;

/* Write: one delivered event, fields as in _EventParmsIn from `len` on. */
#define WRITE_PARMS_IN_VERSION 1u
typedef struct _WriteParmsIn {
    uint32_t size;
    uint32_t version;
    uint32_t reserved1;
    uint8_t flag; /* 0 */
    uint8_t reserved2[3];
    uint32_t len;
    void* data; /* the core's copy; keep it past the call only by setting keep */
    uint32_t providerID;
    uint32_t streamID;
    uint32_t eventType;
    uint32_t eventFlags;
    uint8_t extra[EVENT_EXTRA_SIZE];
} _WriteParmsIn;

#define WRITE_PARMS_OUT_VERSION 1u
typedef struct _WriteParmsOut {
    uint32_t size;
    uint32_t version;
    uint32_t reserved[2];
    int32_t error;
    uint32_t keep; /* non-zero keeps the data block (give it back with EVT_RELEASE) */
} _WriteParmsOut;

/* ---- Parent packets (the data of IOCTL_PARENT) ----------------------------------------------- */

#define IPC_PARAMETERS 7u
#define IPC_STOP 8u
#define PARENT_PACKET_HEADER_SIZE 16u
#define PARENT_PACKET_MAX_LENGTH 65536u

typedef struct _ParentPacketHeader {
    uint32_t length; /* whole packet, header included */
    uint32_t target; /* bits 20 to 31: the module index of the addressed plugin */
    uint32_t command;
    uint32_t reserved;
} _ParentPacketHeader;

/* ---- Layout checks --------------------------------------------------------------------------- */

#ifdef __cplusplus
#define DVR_LAYOUT_CHECK(condition, name) static_assert(condition, #name)
#else
#define DVR_LAYOUT_CHECK(condition, name) typedef char dvr_layout_check_##name[(condition) ? 1 : -1]
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
/* The 32-bit target: sizes and offsets fixed byte for byte. */
DVR_LAYOUT_CHECK(sizeof(_EventParmsIn) == 184, event_in_size);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, data) == 12, event_in_data);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, providerID) == 16, event_in_provider);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, streamID) == 20, event_in_stream);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, eventType) == 24, event_in_type);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, eventFlags) == 28, event_in_flags);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, extra) == 32, event_in_extra);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, extra) + EVENT_EXTRA_LOG_LEVEL == 40, event_in_log_level);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, extra) + EVENT_EXTRA_KEY_FRAME == 50, event_in_key_frame);
DVR_LAYOUT_CHECK(sizeof(_LoadParmsIn) == 24, load_in_size);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, callback) == 12, load_in_callback);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, coreText) == 16, load_in_text);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, coreTextLength) == 20, load_in_text_length);
DVR_LAYOUT_CHECK(sizeof(_IoctlParmsIn) == 28, ioctl_in_size);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsIn, data) == 24, ioctl_in_data);
DVR_LAYOUT_CHECK(sizeof(_ReadParmsIn) == 28, read_in_size);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, data) == 20, read_in_data);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, streamID) == 24, read_in_stream);
DVR_LAYOUT_CHECK(sizeof(_WriteParmsIn) == 192, write_in_size);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, data) == 20, write_in_data);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, providerID) == 24, write_in_provider);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, streamID) == 28, write_in_stream);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, eventType) == 32, write_in_type);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, eventFlags) == 36, write_in_flags);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, extra) == 40, write_in_extra);
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* 64-bit hosts: the same fields, pointers widened with natural alignment. */
DVR_LAYOUT_CHECK(sizeof(_EventParmsIn) == 192, event_in_size);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, data) == 16, event_in_data);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, providerID) == 24, event_in_provider);
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, extra) == 40, event_in_extra);
DVR_LAYOUT_CHECK(sizeof(_LoadParmsIn) == 40, load_in_size);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, callback) == 16, load_in_callback);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, coreText) == 24, load_in_text);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, coreTextLength) == 32, load_in_text_length);
DVR_LAYOUT_CHECK(sizeof(_IoctlParmsIn) == 32, ioctl_in_size);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsIn, data) == 24, ioctl_in_data);
DVR_LAYOUT_CHECK(sizeof(_ReadParmsIn) == 40, read_in_size);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, data) == 24, read_in_data);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, streamID) == 32, read_in_stream);
DVR_LAYOUT_CHECK(sizeof(_WriteParmsIn) == 200, write_in_size);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, data) == 24, write_in_data);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, providerID) == 32, write_in_provider);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, extra) == 48, write_in_extra);
#endif

/* Records without pointers, and the fields in front of the first pointer, are the same everywhere. */
DVR_LAYOUT_CHECK(offsetof(_EventParmsIn, len) == 8, event_in_len);
DVR_LAYOUT_CHECK(sizeof(_EventParmsOut) == 12, event_out_size);
DVR_LAYOUT_CHECK(offsetof(_EventParmsOut, result) == 8, event_out_result);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsIn, core) == 8, load_in_core);
DVR_LAYOUT_CHECK(sizeof(_LoadParmsOut) == 68, load_out_size);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, providerID) == 8, load_out_provider);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, classMasks) == 12, load_out_masks);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, classMasks) + 5 * 4 == 32, load_out_close_key);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, reserved1) == 48, load_out_reserved1);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, wantsWorkerThread) == 52, load_out_worker);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, reserved2) == 53, load_out_reserved2);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, wantsReads) == 54, load_out_reads);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, acceptsWrites) == 55, load_out_writes);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, reserved3) == 56, load_out_reserved3);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, error) == 60, load_out_error);
DVR_LAYOUT_CHECK(offsetof(_LoadParmsOut, logLevelDefault) == 64, load_out_level);
DVR_LAYOUT_CHECK(sizeof(_OpenParmsIn) == 20, open_in_size);
DVR_LAYOUT_CHECK(offsetof(_OpenParmsIn, reserved) == 8, open_in_reserved);
DVR_LAYOUT_CHECK(offsetof(_OpenParmsIn, shutdownInstance) == 16, open_in_shutdown);
DVR_LAYOUT_CHECK(sizeof(_OpenParmsOut) == 16, open_out_size);
DVR_LAYOUT_CHECK(offsetof(_OpenParmsOut, reserved) == 8, open_out_reserved);
DVR_LAYOUT_CHECK(sizeof(_CloseParmsIn) == 12, close_in_size);
DVR_LAYOUT_CHECK(offsetof(_CloseParmsIn, reserved) == 8, close_in_reserved);
DVR_LAYOUT_CHECK(sizeof(_CloseParmsOut) == 12, close_out_size);
DVR_LAYOUT_CHECK(offsetof(_CloseParmsOut, error) == 8, close_out_error);
DVR_LAYOUT_CHECK(sizeof(_UnloadParmsIn) == 8, unload_in_size);
DVR_LAYOUT_CHECK(sizeof(_UnloadParmsOut) == 12, unload_out_size);
DVR_LAYOUT_CHECK(offsetof(_UnloadParmsOut, error) == 8, unload_out_error);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsIn, command) == 8, ioctl_in_command);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsIn, subSize) == 12, ioctl_in_sub_size);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsIn, subVersion) == 16, ioctl_in_sub_version);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsIn, len) == 20, ioctl_in_len);
DVR_LAYOUT_CHECK(sizeof(_IoctlParmsOut) == 28, ioctl_out_size);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsOut, command) == 8, ioctl_out_command);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsOut, error) == 12, ioctl_out_error);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsOut, keep) == 16, ioctl_out_keep);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsOut, subSize) == 20, ioctl_out_sub_size);
DVR_LAYOUT_CHECK(offsetof(_IoctlParmsOut, subVersion) == 24, ioctl_out_sub_version);
DVR_LAYOUT_CHECK(sizeof(_ReadParmsOut) == 20, read_out_size);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsOut, reserved) == 8, read_out_reserved);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, reserved1) == 8, read_in_reserved);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, flag) == 12, read_in_flag);
DVR_LAYOUT_CHECK(offsetof(_ReadParmsIn, len) == 16, read_in_len);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, reserved1) == 8, write_in_reserved);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, flag) == 12, write_in_flag);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsIn, len) == 16, write_in_len);
/* Write carries an _EventParmsIn from `len` on, unchanged. */
DVR_LAYOUT_CHECK(sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, len) ==
                     sizeof(_EventParmsIn) - offsetof(_EventParmsIn, len),
                 write_in_event_tail);
DVR_LAYOUT_CHECK(sizeof(_WriteParmsOut) == 24, write_out_size);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsOut, reserved) == 8, write_out_reserved);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsOut, error) == 16, write_out_error);
DVR_LAYOUT_CHECK(offsetof(_WriteParmsOut, keep) == 20, write_out_keep);
DVR_LAYOUT_CHECK(sizeof(_ParentPacketHeader) == PARENT_PACKET_HEADER_SIZE, parent_header_size);

#undef DVR_LAYOUT_CHECK

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_PLUGIN_API_H */
