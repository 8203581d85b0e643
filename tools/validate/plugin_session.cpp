#include "plugin_session.h"

#include <climits>
#include <cstring>

#include "events/routing.h"
#include "plugins/plugin_records.h"

namespace dvr::validate {

const char* AnswerName(int32_t answer)
{
    switch (answer) {
    case EVENT_ACCEPTED: return "EVENT_ACCEPTED";
    case EVENT_REFUSED: return "EVENT_REFUSED";
    case EVENT_NO_KEY_FRAME: return "EVENT_NO_KEY_FRAME";
    case EVENT_GATE_EXPIRED: return "EVENT_GATE_EXPIRED";
    case EVENT_THROTTLED: return "EVENT_THROTTLED";
    case EVENT_NO_MEMORY: return "EVENT_NO_MEMORY";
    default: return "an unknown answer";
    }
}

namespace {

// The provider ID of the events the stand-in delivers: another plugin's.
constexpr uint32_t SENDER_PROVIDER_ID = 0x00FE0000u;

// What the harness waits for (its step hook's names), as a step of a check.
struct StepText {
    const char* step;
    const char* label;
    const char* hangMessage;
};
constexpr StepText STEPS[] = {
    {"Load", "Load", "Load did not return: do as little as possible in Load, and never wait there"},
    {"Open", "Open", "Open did not return: Open must not wait for the plugin's own threads or the core"},
    {"Close", "Close",
     "Close did not return while the plugin's worker and read threads ran: Close must signal them to end and "
     "return at once; the core joins them itself after every plugin is closed"},
    {"IOCTL_WORKER", "joining the worker thread after Close",
     "the worker loop (IOCTL_WORKER) did not return after Close: Close must make it return (set a flag and signal "
     "every wait of the loop)"},
    {"The asynchronous Read", "joining the asynchronous read thread after Close",
     "the asynchronous Read (streamID 0) did not return after Close: Close must make the read loop return"},
    {"A stream's Read", "joining the reader threads of closed streams",
     "a stream's Read did not return after the stream was closed (its data events refused): Read must return once "
     "an event of its stream is refused"},
    {"Unload", "Unload",
     "Unload did not return: free what is left and join the plugin's own threads, which Close has already told to "
     "end"},
    {"Write", "Write",
     "Write did not return: Write runs on the core's only delivery thread, so it must return at once: never wait "
     "there for another thread, a sleep, I/O, or a lock the plugin holds while calling the core"},
    {"IOCTL_CONFIG", "IOCTL_CONFIG", "IOCTL_CONFIG did not return: it runs on the core's only delivery thread"},
    {"dlclose", "unmapping the plugin", "dlclose did not return: a destructor of the plugin waits"},
};

// eventFlags whose delivery key is exactly key (bit 24 of a key is never set by one).
uint32_t FlagsForDeliveryKey(uint32_t key)
{
    return (key & 0x00FFFFFFu) | ((key & 0xFE000000u) >> 1);
}

bool NeedsKeyFrame(int32_t answer)
{
    return answer == EVENT_NO_KEY_FRAME || answer == EVENT_GATE_EXPIRED || answer == EVENT_THROTTLED;
}

} // namespace

PluginSession::PluginSession(const std::string& path, CheckContext& context)
    : context_(context),
      harness_(dvr_harness_new(path.c_str()))
{
    if (harness_ == nullptr)
        abort();
    // The parent finds a hang at the step's budget: the harness's own waits must outlast it.
    dvr_harness_set_timeout(harness_, static_cast<int>(std::min<long long>(context.Budget().count() * 3, INT_MAX)));
    dvr_harness_set_step_hook(harness_, &PluginSession::OnStep, this);
}

void PluginSession::OnStep(void* session, const char* step)
{
    auto* self = static_cast<PluginSession*>(session);
    if (self->fixedStep_)
        return;
    for (const StepText& text : STEPS)
        if (strcmp(text.step, step) == 0)
            return self->context_.Step(text.label, text.hangMessage,
                                       strcmp(step, "Close") == 0 ? self->closeCrashMessage_ : "");
    self->context_.Step(step, std::string(step) + " did not return");
}

void PluginSession::BeginFixedStep(const std::string& label, const std::string& hangMessage)
{
    context_.Step(label, hangMessage);
    fixedStep_ = true;
}

bool PluginSession::Load()
{
    if (dvr_harness_load(harness_) == DVR_HARNESS_OK) {
        for (const std::string& problem : LoadResultHeaderProblems(*dvr_harness_info(harness_)))
            context_.Report(Severity::ERROR, problem, problem);
        return true;
    }
    context_.Report(Severity::ERROR,
                    std::string("the plugin could not be loaded with the core's own records, so nothing else could "
                                "be checked: ") +
                        dvr_harness_load_refusal(harness_),
                    LOAD_FAILED_CAUSE);
    return false;
}

int PluginSession::Open()
{
    return dvr_harness_open(harness_);
}

bool PluginSession::Start()
{
    if (!Load())
        return false;
    Open();
    return true;
}

int PluginSession::Close(const std::string& crashMessage)
{
    closeCrashMessage_ = crashMessage;
    return dvr_harness_close(harness_);
}

int PluginSession::Unload()
{
    return dvr_harness_unload(harness_);
}

void PluginSession::Unmap()
{
    dvr_harness_teardown(harness_, nullptr, 0);
    harness_ = nullptr;
}

std::optional<dvr_harness_call_time> PluginSession::Write(uint32_t eventType, uint32_t eventFlags, uint32_t len,
                                                          bool keyFrame)
{
    std::vector<uint8_t> block(len);
    uint32_t seed = nextSeed_++;
    for (uint32_t i = 0; i < len; ++i)
        block[i] = static_cast<uint8_t>(seed * 31 + i);
    _EventParmsIn event = DvrEventParmsIn(SENDER_PROVIDER_ID, eventType, eventFlags);
    event.len = len;
    event.data = block.data();
    SetEventKeyFrame(&event, keyFrame ? 1 : 0);
    if (eventType == EVT_LOG)
        SetEventLogLevel(&event, 25);
    dvr_harness_call_time time{};
    if (dvr_harness_push(harness_, &event, nullptr) != DVR_HARNESS_OK ||
        dvr_harness_last_call(harness_, "Write", &time) != DVR_HARNESS_OK)
        return std::nullopt;
    return time;
}

void PluginSession::SendConfig(const std::string& text)
{
    dvr_harness_push_config(harness_, text.c_str(), nullptr);
}

void PluginSession::SendParentPacket(uint32_t command)
{
    const _LoadParmsOut* info = dvr_harness_info(harness_);
    if (info != nullptr)
        dvr_harness_push_parent(harness_, DVR_MODULE_INDEX(info->providerID) << 20, command, nullptr, 0, nullptr);
}

void PluginSession::OpenStream(uint32_t streamID, std::pair<uint32_t, uint32_t> route)
{
    std::string request = "stream request " + std::to_string(streamID);
    _EventParmsIn event = DvrEventParmsIn(0, route.first, route.second);
    event.streamID = streamID;
    event.len = static_cast<uint32_t>(request.size() + 1);
    event.data = request.data();
    if (dvr_harness_open_stream(harness_, &event) == DVR_HARNESS_OK)
        streams_.push_back(streamID);
}

void PluginSession::CloseStreamsAndJoinReaders()
{
    for (uint32_t streamID : streams_)
        dvr_harness_close_stream(harness_, streamID);
    streams_.clear();
    OnStep(this, "A stream's Read");
    dvr_harness_wait_readers(harness_, -1);
}

std::vector<std::pair<uint32_t, uint32_t>> PluginSession::WriteRoutes() const
{
    const _LoadParmsOut& info = *dvr_harness_info(harness_);
    std::vector<std::pair<uint32_t, uint32_t>> routes;
    for (int i = 0; i < EVENT_CLASS_COUNT; ++i) {
        uint32_t flags = FlagsForDeliveryKey(info.classMasks[i]);
        if (info.classMasks[i] != 0 && MatchesClassMasks(EVENT_CLASSES[i], DeliveryRoutingKey(flags), info.classMasks))
            routes.emplace_back(EVENT_CLASSES[i], flags);
    }
    if (routes.empty())
        routes.emplace_back(EVENT_CLASSES[3], 0); // key 0 reaches every plugin that takes writes
    return routes;
}

std::vector<std::pair<uint32_t, uint32_t>> PluginSession::ReaderRoutes() const
{
    const _LoadParmsOut& info = *dvr_harness_info(harness_);
    std::vector<std::pair<uint32_t, uint32_t>> routes;
    for (int i = 0; i < EVENT_CLASS_COUNT; ++i) {
        uint32_t flags = info.classMasks[i] & 0x00FFFFFFu;
        if (info.classMasks[i] != 0 && MatchesClassMasks(EVENT_CLASSES[i], ReaderRoutingKey(flags), info.classMasks))
            routes.emplace_back(EVENT_CLASSES[i], flags);
    }
    return routes;
}

void PluginSession::AnswerQueuedEvents(int32_t result)
{
    dvr_harness_set_answer(harness_, 0, result);
}

void PluginSession::RefuseNextVideoFrame(int32_t result)
{
    dvr_harness_queue_answers(harness_, EVT_VIDEO, &result, 1);
}

uint64_t PluginSession::CallbackCalls()
{
    return dvr_harness_event_count(harness_, 0);
}

bool PluginSession::WaitForCalls(uint64_t count, std::chrono::milliseconds timeout)
{
    return dvr_harness_wait_events(harness_, 0, count + 1, static_cast<int>(timeout.count())) == DVR_HARNESS_OK;
}

bool PluginSession::WaitForVideoFrames(uint64_t count, std::chrono::milliseconds timeout)
{
    return dvr_harness_wait_events(harness_, EVT_VIDEO, count + 1, static_cast<int>(timeout.count())) == DVR_HARNESS_OK;
}

uint64_t PluginSession::VideoFrames()
{
    return dvr_harness_event_count(harness_, EVT_VIDEO);
}

uint64_t PluginSession::MissingKeyFrames(int32_t* after)
{
    uint64_t missing = 0;
    int32_t required = EVENT_ACCEPTED; // the answer that requires a key frame next
    *after = EVENT_ACCEPTED;
    for (size_t i = 0; const dvr_harness_event* frame = dvr_harness_event_at(harness_, EVT_VIDEO, i); ++i) {
        if ((frame->record.eventFlags & EVF_MEDIA_GATED) == 0)
            continue;
        if (required != EVENT_ACCEPTED && EventKeyFrame(&frame->record) != 1 && missing++ == 0)
            *after = required;
        required = NeedsKeyFrame(frame->answer) ? frame->answer : EVENT_ACCEPTED;
    }
    return missing;
}

void PluginSession::ReportBlocks()
{
    dvr_harness_block_counts blocks{};
    dvr_harness_blocks(harness_, &blocks);
    auto count = [](size_t n, const char* what) { return std::to_string(n) + " " + what; };
    if (blocks.leaked > 0)
        context_.Report(Severity::ERROR, count(blocks.leaked, "kept block(s) never given back") + " (of " +
                                             std::to_string(blocks.kept) +
                                             " kept): give back every block kept through "
                                             "keep with one EVT_RELEASE, at the latest in Close");
    if (blocks.double_releases > 0)
        context_.Report(Severity::ERROR, count(blocks.double_releases, "kept block(s) given back more than once") +
                                             ": release each kept block exactly once and forget it then");
    if (blocks.unkept_releases > 0)
        context_.Report(Severity::ERROR, count(blocks.unkept_releases, "block(s) released that were never kept") +
                                             ": release only blocks whose Write or IOCTL_CONFIG set keep");
    if (blocks.foreign_releases > 0)
        context_.Report(Severity::ERROR, count(blocks.foreign_releases, "release(s) of an address the core never "
                                                                        "delivered") +
                                             ": EVT_RELEASE takes exactly the data pointer of a kept delivery");
    if (blocks.wrong_provider > 0)
        context_.Report(Severity::ERROR, count(blocks.wrong_provider, "release(s) under another provider ID") +
                                             ": raise EVT_RELEASE with the plugin's own provider ID");
    if (blocks.modified > 0)
        context_.Report(Severity::ERROR, count(blocks.modified, "delivered block(s) modified") +
                                             ": the data of Write and IOCTL_CONFIG belongs to the core and is "
                                             "shared with other plugins; copy it before changing it");
    context_.Report(Severity::INFO,
                    std::to_string(blocks.delivered) + " blocks delivered, " + std::to_string(blocks.kept) + " kept");
}

} // namespace dvr::validate
