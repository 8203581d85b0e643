/*
 * The example plugin's unit test, on the dvrcore plugin test harness: Heartbeat.so is loaded into
 * this process with a stand-in core, driven as the core drives it, and checked for what it leaves
 * behind. Build and run it with `make check` (pkg-config) or `ctest` (CMake) beside this file.
 *   heartbeat_test PATH/TO/Heartbeat.so
 */
#include <dvrcore/harness.h>

#include <stdio.h>
#include <string.h>

#define HEARTBEAT_PROVIDER_ID 0x00B00000u
#define HEARTBEAT_EVENT 0x0008u
#define HEARTBEAT_KEY 0x00000100u
/* Parent packets name the module in the top twelve bits of their target. */
#define HEARTBEAT_TARGET 0x0B000000u

static int failures;

#define EXPECT(condition)                                                                                              \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #condition);                                   \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

int main(int argc, char** argv)
{
    dvr_harness* h;
    const dvr_harness_event* beat;
    const dvr_harness_event* answer;
    _EventParmsIn echo;
    uint32_t keep = 0;
    char report[4096];
    size_t violations;

    if (argc != 2) {
        fprintf(stderr, "usage: %s Heartbeat.so\n", argv[0]);
        return 2;
    }
    h = dvr_harness_new(argv[1]);
    if (h == NULL)
        return 2;

    /* Load, its worker thread, Open: the plugin beats ten times a second from then on. */
    EXPECT(dvr_harness_start(h) == DVR_HARNESS_OK);
    EXPECT(dvr_harness_info(h) != NULL && dvr_harness_info(h)->providerID == HEARTBEAT_PROVIDER_ID);
    beat = dvr_harness_wait_event(h, HEARTBEAT_EVENT, -1);
    EXPECT(beat != NULL && beat->thread_role == DVR_HARNESS_THREAD_WORKER);
    EXPECT(beat != NULL && beat->data != NULL && strcmp((const char*)beat->data, "beat 1") == 0);

    /* A beat delivered back is kept; the next one makes the plugin give the first block back. */
    echo = DvrEventParmsIn(HEARTBEAT_PROVIDER_ID, HEARTBEAT_EVENT, HEARTBEAT_KEY);
    echo.data = (void*)"beat 1";
    echo.len = 7;
    EXPECT(dvr_harness_push(h, &echo, &keep) == DVR_HARNESS_OK && keep == 1);
    EXPECT(dvr_harness_push(h, &echo, &keep) == DVR_HARNESS_OK && keep == 1);
    EXPECT(dvr_harness_wait_events(h, EVT_RELEASE, 1, -1) == DVR_HARNESS_OK);

    /* A parent packet addressed to the plugin is answered with its totals. */
    EXPECT(dvr_harness_push_parent(h, HEARTBEAT_TARGET, 42, NULL, 0, NULL) == DVR_HARNESS_OK);
    answer = dvr_harness_wait_event(h, EVT_PARENT_SEND, -1);
    EXPECT(answer != NULL && answer->data != NULL &&
           strncmp((const char*)answer->data, "heartbeat: command 42", 21) == 0);

    /* Close gives back the block still kept and ends the worker; teardown checks that every kept
     * block came back once, unmodified, and that no thread of the plugin outlived Unload. */
    violations = dvr_harness_teardown(h, report, sizeof report);
    if (violations != 0)
        fprintf(stderr, "%s", report);
    EXPECT(violations == 0);
    if (failures == 0)
        printf("heartbeat_test: passed\n");
    return failures == 0 ? 0 : 1;
}
