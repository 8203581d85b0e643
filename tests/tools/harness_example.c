/* A plugin test with the harness, in C: the example of the plugin author's guide, run against the
 * harness's test plugin (provider ID 0x00B00000, takes video of routing key bit 0x1). */
#include <dvrcore/harness.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    dvr_harness* h = dvr_harness_new(argv[1]);
    if (h == NULL || dvr_harness_start(h) != DVR_HARNESS_OK) {
        fprintf(stderr, "not loaded: %s\n", h == NULL ? "" : dvr_harness_load_refusal(h));
        return 1;
    }
    /* A video frame as another plugin would send it: delivered to Write on the delivery thread. */
    _EventParmsIn frame = DvrFrameEvent(0x00A00000, EVT_VIDEO, 0x1, "frame", 5, 1);
    uint32_t keep = 0;
    int pushed = dvr_harness_push(h, &frame, &keep);
    /* The plugin answers a parent packet by raising events: wait for the one it sends back. */
    dvr_harness_set_answer(h, EVT_VIDEO, EVENT_THROTTLED);
    dvr_harness_push_parent(h, 0x0B000000, 1, "raise 1", 7, NULL);
    const dvr_harness_event* reply = dvr_harness_wait_event(h, EVT_PARENT_SEND, -1);
    int answered = reply != NULL && reply->record.len == 1 && ((const char*)reply->data)[0] == '5';

    char report[4096];
    size_t violations = dvr_harness_teardown(h, report, sizeof report); /* Close, Unload, checks */
    if (pushed != DVR_HARNESS_OK || keep != 0 || !answered || violations != 0) {
        fprintf(stderr, "pushed %d keep %u answered %d\n%s", pushed, (unsigned)keep, answered, report);
        return 1;
    }
    return 0;
}
