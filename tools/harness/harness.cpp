// The C functions of include/dvrcore/harness.h: argument checks, then the harness object.
#include <dvrcore/harness.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "plugin_harness.h"

#define DVR_HARNESS_API extern "C" __attribute__((visibility("default")))

// The handle a test holds: one reference to the harness (the callback slot holds another until
// teardown, and a call still running in the plugin may hold more).
struct dvr_harness {
    std::shared_ptr<dvr::harness::PluginHarness> harness;
};

DVR_HARNESS_API dvr_harness* dvr_harness_new(const char* path)
{
    if (path == nullptr)
        return nullptr;
    try {
        auto handle = std::make_unique<dvr_harness>();
        handle->harness = std::make_shared<dvr::harness::PluginHarness>(path);
        if (!handle->harness->Bind())
            return nullptr;
        return handle.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

DVR_HARNESS_API void dvr_harness_set_timeout(dvr_harness* h, int timeout_ms)
{
    if (h != nullptr)
        h->harness->SetTimeout(timeout_ms);
}

DVR_HARNESS_API void dvr_harness_set_log_threshold(dvr_harness* h, int32_t threshold)
{
    if (h != nullptr)
        h->harness->SetLogThreshold(threshold);
}

DVR_HARNESS_API void dvr_harness_set_shutdown_logger(dvr_harness* h, int on)
{
    if (h != nullptr)
        h->harness->SetShutdownLogger(on != 0);
}

DVR_HARNESS_API void dvr_harness_set_worker_thread(dvr_harness* h, int on)
{
    if (h != nullptr)
        h->harness->SetWorkerThread(on != 0);
}

DVR_HARNESS_API void dvr_harness_set_answer(dvr_harness* h, uint32_t event_type, int32_t result)
{
    if (h != nullptr)
        h->harness->Events().SetAnswer(event_type, result);
}

DVR_HARNESS_API void dvr_harness_queue_answers(dvr_harness* h, uint32_t event_type, const int32_t* results,
                                               size_t count)
{
    if (h != nullptr && (results != nullptr || count == 0))
        h->harness->Events().QueueAnswers(event_type, results, count);
}

DVR_HARNESS_API void dvr_harness_expect_log(dvr_harness* h, int level, const char* text)
{
    if (h != nullptr)
        h->harness->Events().ExpectLog(level, text == nullptr ? "" : text);
}

DVR_HARNESS_API int dvr_harness_load(dvr_harness* h)
{
    return h == nullptr ? DVR_HARNESS_BAD_ARGUMENT : h->harness->Load();
}

DVR_HARNESS_API int dvr_harness_open(dvr_harness* h)
{
    return h == nullptr ? DVR_HARNESS_BAD_ARGUMENT : h->harness->Open();
}

DVR_HARNESS_API int dvr_harness_start(dvr_harness* h)
{
    int loaded = dvr_harness_load(h);
    return loaded != DVR_HARNESS_OK ? loaded : dvr_harness_open(h);
}

DVR_HARNESS_API int dvr_harness_close(dvr_harness* h)
{
    return h == nullptr ? DVR_HARNESS_BAD_ARGUMENT : h->harness->Close();
}

DVR_HARNESS_API int dvr_harness_unload(dvr_harness* h)
{
    return h == nullptr ? DVR_HARNESS_BAD_ARGUMENT : h->harness->Unload();
}

DVR_HARNESS_API size_t dvr_harness_teardown(dvr_harness* h, char* report, size_t size)
{
    if (report != nullptr && size > 0)
        report[0] = '\0';
    if (h == nullptr)
        return 0;
    std::unique_ptr<dvr_harness> handle(h);
    std::vector<std::string> violations = handle->harness->Teardown();
    std::string text;
    for (const std::string& violation : violations)
        text += violation + "\n";
    if (report != nullptr && size > 0) {
        size_t length = std::min(text.size(), size - 1);
        memcpy(report, text.data(), length);
        report[length] = '\0';
    }
    return violations.size();
}

DVR_HARNESS_API int dvr_harness_load_outcome(const dvr_harness* h)
{
    return h == nullptr ? DVR_HARNESS_NOT_LOADED : h->harness->LoadOutcome();
}

DVR_HARNESS_API const char* dvr_harness_load_refusal(const dvr_harness* h)
{
    return h == nullptr ? "" : h->harness->Refusal();
}

DVR_HARNESS_API const _LoadParmsOut* dvr_harness_info(const dvr_harness* h)
{
    return h == nullptr ? nullptr : h->harness->Info();
}

DVR_HARNESS_API int dvr_harness_push(dvr_harness* h, const _EventParmsIn* event, uint32_t* keep)
{
    dvr_harness_delivery delivery{};
    int result = dvr_harness_push_ex(h, event, &delivery);
    if (keep != nullptr)
        *keep = delivery.keep;
    return result;
}

DVR_HARNESS_API int dvr_harness_push_ex(dvr_harness* h, const _EventParmsIn* event, dvr_harness_delivery* delivery)
{
    if (delivery != nullptr)
        *delivery = dvr_harness_delivery{};
    if (h == nullptr || event == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->Push(*event, delivery);
}

DVR_HARNESS_API int dvr_harness_push_config(dvr_harness* h, const char* text, uint32_t* keep)
{
    if (text == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    // As the core broadcasts its documents: the text without its terminating zero.
    _EventParmsIn event = DvrEventParmsIn(CORE_PROVIDER_ID, EVT_CONFIG, EVF_CORE_DOCUMENT);
    event.len = static_cast<uint32_t>(strlen(text));
    event.data = const_cast<char*>(text);
    return dvr_harness_push(h, &event, keep);
}

DVR_HARNESS_API int dvr_harness_push_core_log(dvr_harness* h, int level, const char* text)
{
    if (h == nullptr || text == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->PushCoreLog(level, text);
}

DVR_HARNESS_API int dvr_harness_push_parent(dvr_harness* h, uint32_t target, uint32_t command, const void* body,
                                            uint32_t len, dvr_harness_delivery* delivery)
{
    if (delivery != nullptr)
        *delivery = dvr_harness_delivery{};
    if (h == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->PushParent(target, command, body, len, delivery);
}

DVR_HARNESS_API int dvr_harness_open_stream(dvr_harness* h, const _EventParmsIn* event)
{
    if (h == nullptr || event == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->OpenStream(*event);
}

DVR_HARNESS_API int dvr_harness_close_stream(dvr_harness* h, uint32_t stream_id)
{
    return h == nullptr ? DVR_HARNESS_BAD_ARGUMENT : h->harness->CloseStream(stream_id);
}

DVR_HARNESS_API int dvr_harness_wait_readers(dvr_harness* h, int timeout_ms)
{
    return h == nullptr ? DVR_HARNESS_BAD_ARGUMENT : h->harness->WaitReaders(h->harness->Timeout(timeout_ms));
}

DVR_HARNESS_API size_t dvr_harness_event_count(dvr_harness* h, uint32_t event_type)
{
    return h == nullptr ? 0 : h->harness->Events().Count(event_type);
}

DVR_HARNESS_API const dvr_harness_event* dvr_harness_event_at(dvr_harness* h, uint32_t event_type, size_t index)
{
    return h == nullptr ? nullptr : h->harness->Events().At(event_type, index);
}

DVR_HARNESS_API const dvr_harness_event* dvr_harness_pull(dvr_harness* h, uint32_t event_type)
{
    return h == nullptr ? nullptr : h->harness->Events().Pull(event_type, std::chrono::milliseconds(0));
}

DVR_HARNESS_API const dvr_harness_event* dvr_harness_wait_event(dvr_harness* h, uint32_t event_type, int timeout_ms)
{
    return h == nullptr ? nullptr : h->harness->Events().Pull(event_type, h->harness->Timeout(timeout_ms));
}

DVR_HARNESS_API int dvr_harness_wait_events(dvr_harness* h, uint32_t event_type, size_t count, int timeout_ms)
{
    if (h == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->Events().WaitForCount(event_type, count, h->harness->Timeout(timeout_ms))
               ? DVR_HARNESS_OK
               : DVR_HARNESS_TIMED_OUT;
}

DVR_HARNESS_API int dvr_harness_wait_log(dvr_harness* h, int level, const char* text, int timeout_ms)
{
    if (h == nullptr || text == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->Events().WaitForLog(level, text, h->harness->Timeout(timeout_ms)) ? DVR_HARNESS_OK
                                                                                         : DVR_HARNESS_TIMED_OUT;
}

DVR_HARNESS_API size_t dvr_harness_stress(dvr_harness* h, const dvr_harness_stress_plan* plan)
{
    if (h == nullptr || plan == nullptr || (plan->events == nullptr && plan->event_count != 0))
        return 0;
    return h->harness->Stress(*plan);
}

DVR_HARNESS_API void dvr_harness_set_step_hook(dvr_harness* h, dvr_harness_step_hook hook, void* context)
{
    if (h != nullptr)
        h->harness->SetStepHook(hook, context);
}

DVR_HARNESS_API int dvr_harness_slowest_call(dvr_harness* h, const char* entry_point, dvr_harness_call_time* time)
{
    if (h == nullptr || entry_point == nullptr || time == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->Times().Slowest(entry_point, *time) ? DVR_HARNESS_OK : DVR_HARNESS_NOT_DELIVERED;
}

DVR_HARNESS_API int dvr_harness_last_call(dvr_harness* h, const char* entry_point, dvr_harness_call_time* time)
{
    if (h == nullptr || entry_point == nullptr || time == nullptr)
        return DVR_HARNESS_BAD_ARGUMENT;
    return h->harness->Times().Last(entry_point, *time) ? DVR_HARNESS_OK : DVR_HARNESS_NOT_DELIVERED;
}

DVR_HARNESS_API void dvr_harness_set_clock(dvr_harness* h, dvr_harness_clock clock, void* context)
{
    if (h != nullptr)
        h->harness->Times().SetClock(clock, context);
}

DVR_HARNESS_API void dvr_harness_blocks(dvr_harness* h, dvr_harness_block_counts* counts)
{
    if (counts != nullptr)
        *counts = h == nullptr ? dvr_harness_block_counts{} : h->harness->Blocks();
}

DVR_HARNESS_API size_t dvr_harness_thread_count(void)
{
    return dvr::harness::CountOtherThreads();
}

DVR_HARNESS_API size_t dvr_harness_wait_threads(size_t count, int timeout_ms)
{
    return dvr::harness::WaitForOtherThreads(count, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms));
}
