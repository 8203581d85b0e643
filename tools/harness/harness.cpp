// Placeholder bodies until the harness lands: every call reports "not running".
#include <dvrcore/harness.h>
#pragma GCC diagnostic ignored "-Wunused-parameter"

#define DVR_HARNESS_API __attribute__((visibility("default")))
extern "C" {
DVR_HARNESS_API dvr_harness* dvr_harness_new(const char* path)
{
    return nullptr;
}
DVR_HARNESS_API void dvr_harness_set_timeout(dvr_harness* h, int timeout_ms) {}
DVR_HARNESS_API void dvr_harness_set_log_threshold(dvr_harness* h, int32_t threshold) {}
DVR_HARNESS_API void dvr_harness_set_shutdown_logger(dvr_harness* h, int on) {}
DVR_HARNESS_API void dvr_harness_set_answer(dvr_harness* h, uint32_t event_type, int32_t result) {}
DVR_HARNESS_API void dvr_harness_queue_answers(dvr_harness* h, uint32_t event_type, const int32_t* results,
                                               size_t count)
{
}
DVR_HARNESS_API void dvr_harness_expect_log(dvr_harness* h, int level, const char* text) {}
DVR_HARNESS_API int dvr_harness_load(dvr_harness* h)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_open(dvr_harness* h)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_start(dvr_harness* h)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_close(dvr_harness* h)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_unload(dvr_harness* h)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API size_t dvr_harness_teardown(dvr_harness* h, char* report, size_t size)
{
    return 0;
}
DVR_HARNESS_API int dvr_harness_load_outcome(const dvr_harness* h)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API const char* dvr_harness_load_refusal(const dvr_harness* h)
{
    return "";
}
DVR_HARNESS_API const _LoadParmsOut* dvr_harness_info(const dvr_harness* h)
{
    return nullptr;
}
DVR_HARNESS_API int dvr_harness_push(dvr_harness* h, const _EventParmsIn* event, uint32_t* keep)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_push_ex(dvr_harness* h, const _EventParmsIn* event, dvr_harness_delivery* delivery)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_push_config(dvr_harness* h, const char* text, uint32_t* keep)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_push_core_log(dvr_harness* h, int level, const char* text)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_push_parent(dvr_harness* h, uint32_t target, uint32_t command, const void* body,
                                            uint32_t len, dvr_harness_delivery* delivery)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_open_stream(dvr_harness* h, const _EventParmsIn* event)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_close_stream(dvr_harness* h, uint32_t stream_id)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_wait_readers(dvr_harness* h, int timeout_ms)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API size_t dvr_harness_event_count(dvr_harness* h, uint32_t event_type)
{
    return 0;
}
DVR_HARNESS_API const dvr_harness_event* dvr_harness_event_at(dvr_harness* h, uint32_t event_type, size_t index)
{
    return nullptr;
}
DVR_HARNESS_API const dvr_harness_event* dvr_harness_pull(dvr_harness* h, uint32_t event_type)
{
    return nullptr;
}
DVR_HARNESS_API const dvr_harness_event* dvr_harness_wait_event(dvr_harness* h, uint32_t event_type, int timeout_ms)
{
    return nullptr;
}
DVR_HARNESS_API int dvr_harness_wait_events(dvr_harness* h, uint32_t event_type, size_t count, int timeout_ms)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API int dvr_harness_wait_log(dvr_harness* h, int level, const char* text, int timeout_ms)
{
    return DVR_HARNESS_NOT_RUNNING;
}
DVR_HARNESS_API size_t dvr_harness_stress(dvr_harness* h, const dvr_harness_stress_plan* plan)
{
    return 0;
}
}
