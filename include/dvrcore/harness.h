/*
 * dvrcore plugin test harness (libdvrcore-harness).
 *
 * Loads one plugin into the test process with a stand-in for the core and drives it as the core
 * does: the same loader, the same records, the same routing rule, the same threads. Everything the
 * plugin raises is recorded and answered from a script; every data block it is given is tracked;
 * teardown reports what the plugin left behind (kept blocks never given back, double or foreign
 * releases, modified bytes, threads still running after Unload, unexpected failure lines, calls
 * that never returned) and what the core would hold against it (a Load that changed the header of
 * its result record, Write calls that took the core's write budget of the plugin's own time).
 *
 *     dvr_harness* h = dvr_harness_new("build/plugins/MyPlugin.so");
 *     if (dvr_harness_start(h) != DVR_HARNESS_OK) ...          Load, worker, Open, async reader
 *     uint32_t keep = 0;
 *     dvr_harness_push(h, &event, &keep);                      Write, as the queue worker would
 *     const dvr_harness_event* e = dvr_harness_wait_event(h, EVT_VIDEO, -1);
 *     char report[4096];
 *     assert(dvr_harness_teardown(h, report, sizeof report) == 0);
 *
 * Threads: every entry point runs on a thread of the harness, never on the caller's: Load, Open,
 * Close and Unload on one "main" thread; Write and IOCTL_CONFIG on one delivery thread (so never
 * at once); IOCTL_PARENT on one I/O thread; IOCTL_WORKER and Read on threads of their own. The
 * caller waits for each call with the harness's time-out, so a plugin that hangs fails the wait
 * instead of hanging the test (a call that never returns is a violation; nothing more is called in
 * that plugin and it stays mapped). Every function may be called from any thread, except that
 * dvr_harness_teardown must be the last call on a harness. The check for threads left behind
 * counts the process's threads that no harness started, so it is exact when one test's harnesses
 * run at a time.
 *
 * Ownership: the harness owns everything it returns (event records, their data copies, texts);
 * pointers stay valid until dvr_harness_teardown. The caller owns what it passes in; the harness
 * copies it before the call returns.
 *
 * Plain C99; usable from C++ and from any test framework. Link with -ldvrcore-harness.
 */
#ifndef DVRCORE_HARNESS_H
#define DVRCORE_HARNESS_H

#include <stddef.h>
#include <stdint.h>

#include <dvrcore/plugin_api.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results --------------------------------------------------------------------------------- */

#define DVR_HARNESS_OK 0              /* done: the call reached the plugin, or the wait was met */
#define DVR_HARNESS_NOT_DELIVERED 1   /* the core would not make this call: the plugin was not called */
#define DVR_HARNESS_REFUSED (-1)      /* the loader refused the plugin (see dvr_harness_load_refusal) */
#define DVR_HARNESS_TIMED_OUT (-2)    /* the wait ended at its time-out */
#define DVR_HARNESS_NOT_RUNNING (-3)  /* not loaded, or already closed */
#define DVR_HARNESS_BAD_ARGUMENT (-4) /* a null or malformed argument */

/* Where the loader stopped (dvr_harness_load_outcome); the core's own outcomes. */
#define DVR_HARNESS_LOADED 0
#define DVR_HARNESS_LOADER_REFUSED 1 /* dlopen refused the file */
#define DVR_HARNESS_MISSING_LOAD 2   /* no "Load" exported */
#define DVR_HARNESS_LOAD_FAILED 3    /* Load returned non-zero or set error */
#define DVR_HARNESS_DUPLICATE_ID 4   /* the provider ID is the core's */
#define DVR_HARNESS_MODULE_INDEX_TOO_BIG 5
#define DVR_HARNESS_NOT_LOADED (-1) /* dvr_harness_load has not run */

/* The thread an event came from (dvr_harness_event.thread_role). */
#define DVR_HARNESS_THREAD_OTHER 0      /* a thread the plugin or the test started */
#define DVR_HARNESS_THREAD_MAIN 1       /* Load, Open, Close, Unload */
#define DVR_HARNESS_THREAD_WORKER 2     /* IOCTL_WORKER */
#define DVR_HARNESS_THREAD_ASYNC_READ 3 /* the asynchronous Read after Open */
#define DVR_HARNESS_THREAD_DELIVERY 4   /* Write and IOCTL_CONFIG */
#define DVR_HARNESS_THREAD_IO 5         /* IOCTL_PARENT */
#define DVR_HARNESS_THREAD_READER 6     /* a stream's Read */

/* The default time-out of every wait, in milliseconds. */
#define DVR_HARNESS_DEFAULT_TIMEOUT_MS 5000

typedef struct dvr_harness dvr_harness;

/* One event the plugin raised through its callback, as the harness saw it. */
typedef struct dvr_harness_event {
    _EventParmsIn record; /* the record as raised; record.data is the plugin's pointer (compare only) */
    const void* data;     /* the harness's copy of record.len bytes of data; NULL for a release or no data */
    int32_t answer;       /* the result the harness answered (unchanged result for releases and log lines) */
    int thread_role;      /* DVR_HARNESS_THREAD_* of the raising thread */
    long thread_id;       /* kernel thread ID (gettid) of the raising thread */
    size_t sequence;      /* position among all events of this harness, from 0 */
} dvr_harness_event;

/* What one call into the plugin gave back (dvr_harness_push_ex, dvr_harness_push_parent). */
typedef struct dvr_harness_delivery {
    int returned;      /* the entry point's return value */
    int32_t error;     /* the result record's error field */
    uint32_t keep;     /* the result record's keep field */
    const void* block; /* the data block the plugin got (the harness's allocation), or NULL */
} dvr_harness_delivery;

/* ---- Creating and configuring ---------------------------------------------------------------- */

/* A harness for the plugin file at path; nothing is loaded yet. NULL only when out of memory.
 * At most 64 harnesses exist at once (each needs a callback of its own). */
dvr_harness* dvr_harness_new(const char* path);

/* Time-out of every wait and every call into the plugin, in ms (default 5000); also bounds the
 * wait for the plugin's threads to end after Unload. */
void dvr_harness_set_timeout(dvr_harness* h, int timeout_ms);

/* The threshold answered to the plugin's log threshold queries (default -1: none set). */
void dvr_harness_set_log_threshold(dvr_harness* h, int32_t threshold);

/* Loads and opens the plugin as the core's shutdown logger (core pointer NULL, Open with
 * shutdownInstance 1) when on is non-zero. Set before dvr_harness_load. */
void dvr_harness_set_shutdown_logger(dvr_harness* h, int on);

/* Whether the worker thread is started for a plugin that wants one (default 1, as the core does);
 * 0 leaves IOCTL_WORKER uncalled, to test what the plugin does without it. Set before Load. */
void dvr_harness_set_worker_thread(dvr_harness* h, int on);

/* The answer to every later event whose eventType equals event_type (0: to every event without an
 * answer of its own type). Default EVENT_ACCEPTED. Not from the script: releases and log lines
 * (result left as set), log queries (the threshold), stream control events (accepted), and events
 * the core would refuse (EVENT_REFUSED once closing, or for a closed stream or a non-reader thread). */
void dvr_harness_set_answer(dvr_harness* h, uint32_t event_type, int32_t result);

/* Queues answers for the next count events of event_type (0: of any type), used before the answer
 * of dvr_harness_set_answer, one per event, in order. */
void dvr_harness_queue_answers(dvr_harness* h, uint32_t event_type, const int32_t* results, size_t count);

/* Declares log lines of the plugin at level (-1: any level) whose text contains text as expected.
 * A level-100 line no declaration matches fails the teardown. */
void dvr_harness_expect_log(dvr_harness* h, int level, const char* text);

/* ---- Life cycle ------------------------------------------------------------------------------ */

/* Loads the plugin with the core's loader, then starts its worker thread (IOCTL_WORKER) when it
 * wants one. DVR_HARNESS_OK, or DVR_HARNESS_REFUSED with the core's reason in
 * dvr_harness_load_refusal. Counts the process's threads first, for the check at teardown. */
int dvr_harness_load(dvr_harness* h);

/* Calls Open as the core does after loading, then starts the asynchronous read thread when the
 * plugin wants reads. Returns Open's return value, or DVR_HARNESS_NOT_RUNNING / _TIMED_OUT. */
int dvr_harness_open(dvr_harness* h);

/* dvr_harness_load, then dvr_harness_open: DVR_HARNESS_OK when both succeed, otherwise the first
 * failure (Open's non-zero return value included). */
int dvr_harness_start(dvr_harness* h);

/* Refuses later events as the stopping core does, lets pushes already under way finish (later ones
 * get DVR_HARNESS_NOT_RUNNING), calls Close, and joins the worker, the asynchronous reader and the
 * stream readers (each bounded by the time-out). Returns Close's return value,
 * DVR_HARNESS_NOT_RUNNING when not loaded, or DVR_HARNESS_TIMED_OUT. */
int dvr_harness_close(dvr_harness* h);

/* Closes first when still open, then calls Unload. The object stays mapped until teardown.
 * Returns Unload's return value, DVR_HARNESS_NOT_RUNNING or DVR_HARNESS_TIMED_OUT. */
int dvr_harness_unload(dvr_harness* h);

/* Closes and unloads when still needed, stops the harness's threads, checks what the plugin left
 * behind and frees the harness. Writes one line per violation to report (size bytes, always
 * zero-terminated when size > 0; report may be NULL) and returns the number of violations. */
size_t dvr_harness_teardown(dvr_harness* h, char* report, size_t size);

/* ---- What the loader said -------------------------------------------------------------------- */

/* DVR_HARNESS_LOADED or another DVR_HARNESS_* load outcome; DVR_HARNESS_NOT_LOADED before load. */
int dvr_harness_load_outcome(const dvr_harness* h);

/* The line the core logs when it refuses this plugin; "" when loaded or not tried. */
const char* dvr_harness_load_refusal(const dvr_harness* h);

/* The plugin's self-description from Load (provider ID, class masks, flags); NULL before Load ran. */
const _LoadParmsOut* dvr_harness_info(const dvr_harness* h);

/* ---- Pushing into the plugin ----------------------------------------------------------------- */

/* Delivers a copy of event as the core's queue worker would: EVT_CONFIG to IOCTL_CONFIG unless
 * the plugin sent it, anything else to Write when the plugin accepts writes and its class masks
 * match the delivery routing key. Waits for the call; keep (may be NULL) gets the keep field.
 * DVR_HARNESS_OK, DVR_HARNESS_NOT_DELIVERED (not called), _NOT_RUNNING or _TIMED_OUT. */
int dvr_harness_push(dvr_harness* h, const _EventParmsIn* event, uint32_t* keep);

/* dvr_harness_push, with everything the call gave back in delivery (may be NULL). */
int dvr_harness_push_ex(dvr_harness* h, const _EventParmsIn* event, dvr_harness_delivery* delivery);

/* Pushes a configuration document from the core (EVT_CONFIG, EVF_CORE_DOCUMENT, the text without
 * its terminating zero) through IOCTL_CONFIG. As dvr_harness_push. */
int dvr_harness_push_config(dvr_harness* h, const char* text, uint32_t* keep);

/* Writes a core log line straight into Write, as the core does for its shutdown logger; on the
 * delivery thread. As dvr_harness_push. */
int dvr_harness_push_core_log(dvr_harness* h, int level, const char* text);

/* Sends one parent packet (a _ParentPacketHeader of target and command, then len bytes of body)
 * through IOCTL_PARENT on the I/O thread, when the core would: the target names the plugin's
 * module and the command is not one the core keeps (IPC_STOP, IPC_PARAMETERS). As dvr_harness_push. */
int dvr_harness_push_parent(dvr_harness* h, uint32_t target, uint32_t command, const void* body, uint32_t len,
                            dvr_harness_delivery* delivery);

/* Opens a stream with a stream control event (providerID 0, any type but EVT_STREAM_CLOSE): when
 * the plugin wants reads and its masks match the reader routing key, a reader thread calls Read
 * once with its own copy of the data. Only that thread may send events of the stream. Returns
 * DVR_HARNESS_OK (reader started), DVR_HARNESS_NOT_DELIVERED, _NOT_RUNNING or _BAD_ARGUMENT. */
int dvr_harness_open_stream(dvr_harness* h, const _EventParmsIn* event);

/* Closes a stream: later events of it are answered EVENT_REFUSED (until it is opened again). */
int dvr_harness_close_stream(dvr_harness* h, uint32_t stream_id);

/* Waits until every stream reader's Read has returned: DVR_HARNESS_OK or DVR_HARNESS_TIMED_OUT
 * (timeout_ms < 0: the harness's time-out). */
int dvr_harness_wait_readers(dvr_harness* h, int timeout_ms);

/* ---- Pulling what the plugin raised ---------------------------------------------------------- */

/* Events matching event_type: eventType equal to it, or every event for 0. */

/* How many matching events the plugin has raised so far. */
size_t dvr_harness_event_count(dvr_harness* h, uint32_t event_type);

/* The index-th matching event (from 0), or NULL when there is none yet; never waits. */
const dvr_harness_event* dvr_harness_event_at(dvr_harness* h, uint32_t event_type, size_t index);

/* The oldest matching event not pulled before, or NULL; never waits. Pulled events stay counted. */
const dvr_harness_event* dvr_harness_pull(dvr_harness* h, uint32_t event_type);

/* dvr_harness_pull, waiting up to timeout_ms (< 0: the harness's time-out); NULL at the time-out. */
const dvr_harness_event* dvr_harness_wait_event(dvr_harness* h, uint32_t event_type, int timeout_ms);

/* Waits until count matching events have been raised in all: DVR_HARNESS_OK or _TIMED_OUT. */
int dvr_harness_wait_events(dvr_harness* h, uint32_t event_type, size_t count, int timeout_ms);

/* Waits for a log line of the plugin at level (-1: any) containing text: DVR_HARNESS_OK or
 * DVR_HARNESS_TIMED_OUT. Lines raised before the call count. */
int dvr_harness_wait_log(dvr_harness* h, int level, const char* text, int timeout_ms);

/* ---- Steps, blocks and threads, for tools built on the harness --------------------------------- */

/* Called on the calling thread just before the harness waits for the plugin, with what it waits
 * for: "Load", "Open", "Close", "Unload", "Write", "IOCTL_CONFIG", "IOCTL_PARENT" (a call; Close
 * first waits for the Write and IOCTL_PARENT calls already posted, named so), after Close
 * "IOCTL_WORKER", "The asynchronous Read" and "A stream's Read" (a thread joined), and "dlclose"
 * (teardown unmapping the object). Lets a tool give each step a time budget of its own. Called
 * from every thread that calls the harness; NULL (the default) calls nothing. */
typedef void (*dvr_harness_step_hook)(void* context, const char* step);
void dvr_harness_set_step_hook(dvr_harness* h, dvr_harness_step_hook hook, void* context);

/* How long one call into the plugin took, measured on the harness thread that made it. */
typedef struct dvr_harness_call_time {
    int64_t wall_ns;    /* by the harness's clock, from just before the call to just after it */
    int64_t cpu_ns;     /* CPU time the calling thread used in the call */
    int64_t waiting_ns; /* of wall_ns, the time the thread was ready to run but waited for a CPU: the
                           machine's load, not the plugin's (0 where the kernel does not tell) */
} dvr_harness_call_time;

/* The slowest call so far of "Load" (from dlopen to Load's return), "Open", "Close", "Unload",
 * "Write", "IOCTL_CONFIG" or "IOCTL_PARENT", by the plugin's own time (wall_ns less waiting_ns).
 * DVR_HARNESS_OK, DVR_HARNESS_NOT_DELIVERED when there was no such call, or _BAD_ARGUMENT.
 * Teardown reports the Write calls whose own time reached the core's write budget (6 ms: the core
 * logs every such Write, and every later event waits for it) when they are at least half of all
 * Writes, or when one of them took 100 ms or more: a lone Write just past the budget may be the
 * machine's doing (a page fault, a preempted lock holder). */
int dvr_harness_slowest_call(dvr_harness* h, const char* entry_point, dvr_harness_call_time* time);

/* The latest call of an entry point (the names of dvr_harness_slowest_call); the same results. */
int dvr_harness_last_call(dvr_harness* h, const char* entry_point, dvr_harness_call_time* time);

/* The clock calls are timed by, in nanoseconds that only ever grow; NULL (the default) is the
 * system's steady clock. For tests of timing that must not depend on the machine's speed. Called
 * on the harness's threads, before and after every timed call. */
typedef int64_t (*dvr_harness_clock)(void* context);
void dvr_harness_set_clock(dvr_harness* h, dvr_harness_clock clock, void* context);

/* What became of the data blocks handed to Write and IOCTL_CONFIG so far (teardown reports each
 * fault as a violation; these are the counts). */
typedef struct dvr_harness_block_counts {
    size_t delivered;        /* blocks handed to the plugin */
    size_t kept;             /* of those, kept by the call that got them */
    size_t leaked;           /* kept and not given back (yet) */
    size_t double_releases;  /* releases of a block already given back */
    size_t unkept_releases;  /* releases of a block its call did not keep */
    size_t foreign_releases; /* releases of an address never delivered */
    size_t wrong_provider;   /* releases under a provider ID not the plugin's */
    size_t modified;         /* blocks whose bytes changed (checked when a call returns or a kept block comes back) */
} dvr_harness_block_counts;
void dvr_harness_blocks(dvr_harness* h, dvr_harness_block_counts* counts);

/* The threads of the process that no harness started (teardown compares them with the count at
 * load to find the plugin's threads left behind). */
size_t dvr_harness_thread_count(void);

/* Waits up to timeout_ms until at most count such threads run; returns how many more are left
 * (0: met). */
size_t dvr_harness_wait_threads(size_t count, int timeout_ms);

/* ---- Stress ---------------------------------------------------------------------------------- */

/* Several threads calling the plugin at once, as the core's threads do. */
typedef struct dvr_harness_stress_plan {
    unsigned threads;            /* test threads, each running every round */
    unsigned rounds;             /* rounds per thread */
    const _EventParmsIn* events; /* pushed in order each round, as dvr_harness_push */
    size_t event_count;
    uint32_t parent_command; /* non-zero: one parent packet per round ... */
    uint32_t parent_target;  /* ... to this target ... */
    const void* parent_body; /* ... with this body */
    uint32_t parent_len;
    const _EventParmsIn* stream_open; /* non-NULL: each round opens, then closes, a stream of its own
                                         (streamID is stream_open->streamID plus a count) */
} dvr_harness_stress_plan;

/* Runs the plan and waits for its threads. Returns the number of calls that did not complete
 * (timed out or not running); a call the core would not make counts as complete. */
size_t dvr_harness_stress(dvr_harness* h, const dvr_harness_stress_plan* plan);

#ifdef __cplusplus
}
#endif

#endif /* DVRCORE_HARNESS_H */
