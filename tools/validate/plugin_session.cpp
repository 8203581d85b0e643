#include "plugin_session.h"

#include <dirent.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <utility>

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

// The one session of a check's process; the callback has no other way to find it.
std::atomic<PluginSession*> activeSession{nullptr};

bool IsGatedVideo(const _EventParmsIn& event)
{
    return (event.eventType & EVT_VIDEO) != 0 && (event.eventFlags & EVF_MEDIA_GATED) != 0;
}

// eventFlags whose delivery key is exactly key (bit 24 of a key is never set by one).
uint32_t FlagsForDeliveryKey(uint32_t key)
{
    return (key & 0x00FFFFFFu) | ((key & 0xFE000000u) >> 1);
}

} // namespace

size_t CountThreads()
{
    size_t count = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    while (const dirent* entry = readdir(tasks))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(tasks);
    return count;
}

size_t WaitForThreadCount(size_t count, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t now = CountThreads();
    while (now > count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        now = CountThreads();
    }
    return now > count ? now - count : 0;
}

PluginSession::PluginSession(std::string path, CheckContext& context)
    : path_(std::move(path)),
      context_(context)
{
    activeSession.store(this);
}

PluginSession::~PluginSession()
{
    // A check's process ends with _exit; threads still running a hung plugin are left to it.
    for (std::thread* thread : {&worker_, &asyncReader_})
        if (thread->joinable())
            thread->detach();
    for (std::thread& reader : readers_)
        if (reader.joinable())
            reader.detach();
    activeSession.store(nullptr);
}

bool PluginSession::Load()
{
    context_.Step("Load", "Load did not return: do as little as possible in Load, and never wait there");
    result_ = LoadPluginFile(path_, *this);
    if (result_.outcome != LoadOutcome::LOADED) {
        context_.Report(Severity::ERROR, "the plugin could not be loaded with the core's own records, so nothing "
                                         "else could be checked: " +
                                             result_.refusal);
        return false;
    }
    return true;
}

bool PluginSession::Start()
{
    if (!Load())
        return false;
    StartWorker();
    Open();
    StartAsyncRead();
    return true;
}

void PluginSession::Stop()
{
    Close();
    JoinThreads();
    Unload();
}

void PluginSession::StartWorker()
{
    if (result_.info.wantsWorkerThread == 0 || result_.entries.IOCTL == nullptr)
        return;
    PluginEntryPoint ioctl = result_.entries.IOCTL;
    worker_ = std::thread([ioctl] {
        _IoctlParmsIn in = MakeWorkerIoctlParmsIn();
        _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_WORKER);
        ioctl(&in, &out);
    });
}

int PluginSession::Open()
{
    if (result_.entries.Open == nullptr)
        return 0;
    context_.Step("Open", "Open did not return: Open must not wait for the plugin's own threads or the core");
    _OpenParmsIn in = MakeOpenParmsIn(0);
    _OpenParmsOut out = MakeOpenParmsOut();
    return result_.entries.Open(&in, &out);
}

void PluginSession::StartAsyncRead()
{
    if (result_.info.wantsReads == 0 || result_.entries.Read == nullptr)
        return;
    PluginEntryPoint read = result_.entries.Read;
    asyncReader_ = std::thread([read] {
        _ReadParmsIn in = MakeAsyncReadParmsIn();
        _ReadParmsOut out = MakeReadParmsOut();
        read(&in, &out);
    });
}

int PluginSession::Close(const std::string& crashMessage)
{
    if (result_.entries.Close == nullptr)
        return 0;
    context_.Step("Close",
                  "Close did not return while the plugin's worker and read threads ran: Close must signal them to "
                  "end and return at once; the core joins them itself after every plugin is closed",
                  crashMessage);
    _CloseParmsIn in = MakeCloseParmsIn();
    _CloseParmsOut out = MakeCloseParmsOut();
    int code = result_.entries.Close(&in, &out);
    return code != 0 ? code : out.error;
}

void PluginSession::JoinThreads()
{
    if (worker_.joinable()) {
        context_.Step("joining the worker thread after Close",
                      "the worker loop (IOCTL_WORKER) did not return after Close: Close must make it return "
                      "(set a flag and signal every wait of the loop)");
        worker_.join();
    }
    if (asyncReader_.joinable()) {
        context_.Step("joining the asynchronous read thread after Close",
                      "the asynchronous Read (streamID 0) did not return after Close: Close must make the read "
                      "loop return");
        asyncReader_.join();
    }
}

int PluginSession::Unload()
{
    if (result_.entries.Unload == nullptr)
        return 0;
    context_.Step("Unload", "Unload did not return: free what is left and join the plugin's own threads, which "
                            "Close has already told to end");
    _UnloadParmsIn in = MakeUnloadParmsIn();
    _UnloadParmsOut out = MakeUnloadParmsOut();
    int code = result_.entries.Unload(&in, &out);
    return code != 0 ? code : out.error;
}

void PluginSession::Unmap()
{
    if (result_.handle == nullptr)
        return;
    context_.Step("unmapping the plugin", "dlclose did not return: a destructor of the plugin waits");
    dlclose(result_.handle);
    result_.handle = nullptr;
}

void* PluginSession::NewBlock(uint32_t len, uint32_t seed)
{
    // malloc, never freed in the check's process: a late release must still find its block.
    auto* block = static_cast<uint8_t*>(malloc(len == 0 ? 1 : len));
    if (block == nullptr)
        abort();
    Block record;
    record.contents.resize(len);
    for (uint32_t i = 0; i < len; ++i)
        record.contents[i] = static_cast<uint8_t>(seed * 31 + i);
    memcpy(block, record.contents.data(), len);
    std::lock_guard lock(blocksLock_);
    blocks_[block] = std::move(record);
    return block;
}

void PluginSession::BlockReturned(void* block, bool kept)
{
    std::lock_guard lock(blocksLock_);
    Block& record = blocks_[block];
    record.inCall = false;
    record.kept = kept;
}

std::chrono::nanoseconds PluginSession::Write(uint32_t eventType, uint32_t eventFlags, uint32_t len, bool keyFrame)
{
    if (result_.entries.Write == nullptr || result_.info.acceptsWrites == 0)
        return {};
    _EventParmsIn event = DvrEventParmsIn(SENDER_PROVIDER_ID, eventType, eventFlags);
    event.len = len;
    event.data = NewBlock(len, nextSeed_++);
    SetEventKeyFrame(&event, keyFrame ? 1 : 0);
    if (eventType == EVT_LOG)
        SetEventLogLevel(&event, 25);
    _WriteParmsIn in = MakeWriteParmsIn(event);
    _WriteParmsOut out = MakeWriteParmsOut();
    auto start = std::chrono::steady_clock::now();
    result_.entries.Write(&in, &out);
    auto took = std::chrono::steady_clock::now() - start;
    BlockReturned(event.data, out.keep != 0);
    return took;
}

void PluginSession::SendConfig(const std::string& text)
{
    if (result_.entries.IOCTL == nullptr)
        return;
    auto len = static_cast<uint32_t>(text.size());
    void* block = NewBlock(len, nextSeed_++);
    {
        std::lock_guard lock(blocksLock_);
        memcpy(block, text.data(), len);
        blocks_[block].contents.assign(text.begin(), text.end());
    }
    _IoctlParmsIn in = MakeDataIoctlParmsIn(IOCTL_CONFIG, len, block);
    _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_CONFIG);
    result_.entries.IOCTL(&in, &out);
    BlockReturned(block, out.keep != 0);
}

void PluginSession::SendParentPacket(uint32_t command)
{
    if (result_.entries.IOCTL == nullptr)
        return;
    uint8_t packet[PARENT_PACKET_HEADER_SIZE + 16] = {};
    _ParentPacketHeader header{sizeof packet, DVR_MODULE_INDEX(result_.info.providerID) << 20, command, 0};
    memcpy(packet, &header, sizeof header);
    _IoctlParmsIn in = MakeDataIoctlParmsIn(IOCTL_PARENT, sizeof packet, packet);
    _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_PARENT);
    result_.entries.IOCTL(&in, &out);
}

void PluginSession::OpenStream(uint32_t streamID, uint32_t dataLimit)
{
    if (result_.entries.Read == nullptr || result_.info.wantsReads == 0)
        return;
    {
        std::lock_guard lock(mediaLock_);
        streamLimits_[streamID] = dataLimit;
    }
    PluginEntryPoint read = result_.entries.Read;
    readers_.emplace_back([read, streamID] {
        std::string request = "stream request " + std::to_string(streamID);
        std::vector<char> copy(request.c_str(), request.c_str() + request.size() + 1);
        _ReadParmsIn in = MakeStreamReadParmsIn(static_cast<uint32_t>(copy.size()), copy.data(), streamID);
        _ReadParmsOut out = MakeReadParmsOut();
        read(&in, &out);
    });
}

void PluginSession::JoinReaders()
{
    context_.Step("joining the reader threads of closed streams",
                  "a stream's Read did not return after the stream was closed (its data events refused): Read "
                  "must return once an event of its stream is refused");
    for (std::thread& reader : readers_)
        reader.join();
    readers_.clear();
}

std::vector<std::pair<uint32_t, uint32_t>> PluginSession::WriteRoutes() const
{
    std::vector<std::pair<uint32_t, uint32_t>> routes;
    for (int i = 0; i < EVENT_CLASS_COUNT; ++i) {
        uint32_t flags = FlagsForDeliveryKey(result_.info.classMasks[i]);
        if (result_.info.classMasks[i] != 0 &&
            MatchesClassMasks(EVENT_CLASSES[i], DeliveryRoutingKey(flags), result_.info.classMasks))
            routes.emplace_back(EVENT_CLASSES[i], flags);
    }
    if (routes.empty())
        routes.emplace_back(EVENT_CLASSES[3], 0); // key 0 reaches every plugin that takes writes
    return routes;
}

std::vector<std::pair<uint32_t, uint32_t>> PluginSession::ReaderRoutes() const
{
    std::vector<std::pair<uint32_t, uint32_t>> routes;
    for (int i = 0; i < EVENT_CLASS_COUNT; ++i) {
        uint32_t flags = result_.info.classMasks[i] & 0x00FFFFFFu;
        if (result_.info.classMasks[i] != 0 &&
            MatchesClassMasks(EVENT_CLASSES[i], ReaderRoutingKey(flags), result_.info.classMasks))
            routes.emplace_back(EVENT_CLASSES[i], flags);
    }
    return routes;
}

void PluginSession::AnswerQueuedEvents(int32_t result)
{
    queuedAnswer_.store(result);
}

void PluginSession::RefuseNextVideoFrame(int32_t result)
{
    std::lock_guard lock(mediaLock_);
    refuseNext_ = result;
}

bool PluginSession::WaitForCalls(uint64_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(callsLock_);
    return callsChanged_.wait_for(lock, timeout, [&] { return calls_.load() > count; });
}

bool PluginSession::WaitForVideoFrames(uint64_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mediaLock_);
    return mediaChanged_.wait_for(lock, timeout, [&] { return videoFrames_ > count; });
}

uint64_t PluginSession::VideoFrames()
{
    std::lock_guard lock(mediaLock_);
    return videoFrames_;
}

uint64_t PluginSession::MissingKeyFrames(int32_t* after)
{
    std::lock_guard lock(mediaLock_);
    *after = missingKeyFrameAfter_;
    return missingKeyFrames_;
}

void PluginSession::ReportBlocks()
{
    uint64_t leaked = 0, doubled = 0, unkept = 0, modified = 0, delivered = 0, kept = 0;
    std::lock_guard lock(blocksLock_);
    for (const auto& [address, block] : blocks_) {
        ++delivered;
        kept += block.kept ? 1 : 0;
        if (block.kept && block.releases == 0)
            ++leaked;
        if (block.kept && block.releases > 1)
            ++doubled;
        if (!block.kept && block.releases > 0)
            ++unkept;
        if (memcmp(address, block.contents.data(), block.contents.size()) != 0)
            ++modified;
    }
    auto count = [](uint64_t n, const char* what) { return std::to_string(n) + " " + what; };
    if (leaked > 0)
        context_.Report(Severity::ERROR, count(leaked, "kept block(s) never given back") + " (of " +
                                             std::to_string(kept) +
                                             " kept): give back every block kept through "
                                             "keep with one EVT_RELEASE, at the latest in Close");
    if (doubled > 0)
        context_.Report(Severity::ERROR, count(doubled, "kept block(s) given back more than once") +
                                             ": release each kept block exactly once and forget it then");
    if (unkept > 0)
        context_.Report(Severity::ERROR, count(unkept, "block(s) released that were never kept") +
                                             ": release only blocks whose Write or IOCTL_CONFIG set keep");
    if (foreignReleases_ > 0)
        context_.Report(Severity::ERROR, count(foreignReleases_, "release(s) of an address the core never "
                                                                 "delivered") +
                                             ": EVT_RELEASE takes exactly the data pointer of a kept delivery");
    if (wrongProviderReleases_ > 0)
        context_.Report(Severity::ERROR, count(wrongProviderReleases_, "release(s) under another provider ID") +
                                             ": raise EVT_RELEASE with the plugin's own provider ID");
    if (modified > 0)
        context_.Report(Severity::ERROR, count(modified, "delivered block(s) modified") +
                                             ": the data of Write and IOCTL_CONFIG belongs to the core and is "
                                             "shared with other plugins; copy it before changing it");
    context_.Report(Severity::INFO, std::to_string(delivered) + " blocks delivered, " + std::to_string(kept) + " kept");
}

int PluginSession::Callback(void* in, void* out)
{
    PluginSession* session = activeSession.load();
    auto* event = static_cast<_EventParmsIn*>(in);
    auto* answer = static_cast<_EventParmsOut*>(out);
    if (session == nullptr || event == nullptr || answer == nullptr)
        return 1;
    return session->TakeEvent(*event, *answer);
}

int PluginSession::TakeEvent(const _EventParmsIn& event, _EventParmsOut& answer)
{
    calls_.fetch_add(1);
    callsChanged_.notify_all();
    if (event.eventType == EVT_RELEASE) {
        TakeRelease(event);
        return 0;
    }
    if (event.eventType == EVT_PARENT_SEND) {
        free(event.data); // the core's from the call on
        answer.result = EVENT_ACCEPTED;
        return 0;
    }
    if (event.eventType == EVT_LOG) {
        if ((event.eventFlags & EVF_LOG_QUERY) != 0)
            answer.result = 0;
        return 0;
    }
    if (event.providerID == 0 || event.eventType == EVT_CONFIG) {
        answer.result = EVENT_ACCEPTED; // stream control and documents: taken, nothing to check
        return 0;
    }
    if (event.streamID != 0) {
        std::lock_guard lock(mediaLock_);
        auto stream = streamLimits_.find(event.streamID);
        bool open = stream != streamLimits_.end() && stream->second > 0;
        if (open)
            --stream->second;
        answer.result = open ? EVENT_ACCEPTED : EVENT_REFUSED;
        return 0;
    }
    answer.result = AnswerQueued(event);
    return 0;
}

int32_t PluginSession::AnswerQueued(const _EventParmsIn& event)
{
    int32_t result = queuedAnswer_.load();
    if (!IsGatedVideo(event))
        return result;
    std::lock_guard lock(mediaLock_);
    ++videoFrames_;
    if (keyFrameRequiredAfter_ != EVENT_ACCEPTED && EventKeyFrame(&event) != 1) {
        if (missingKeyFrames_++ == 0)
            missingKeyFrameAfter_ = keyFrameRequiredAfter_;
    }
    if (refuseNext_ != EVENT_ACCEPTED) {
        result = refuseNext_;
        refuseNext_ = EVENT_ACCEPTED;
    }
    bool needsKey = result == EVENT_NO_KEY_FRAME || result == EVENT_GATE_EXPIRED || result == EVENT_THROTTLED;
    keyFrameRequiredAfter_ = needsKey ? result : EVENT_ACCEPTED;
    mediaChanged_.notify_all();
    return result;
}

void PluginSession::TakeRelease(const _EventParmsIn& event)
{
    std::lock_guard lock(blocksLock_);
    if (event.providerID != result_.info.providerID)
        ++wrongProviderReleases_;
    auto block = blocks_.find(event.data);
    if (block == blocks_.end())
        ++foreignReleases_;
    else
        ++block->second.releases;
}

void PluginSession::LoaderLog(int level, const std::string& line)
{
    (void)level;
    (void)line; // the loader's verdict is in the load result
}

bool PluginSession::ProviderIDTaken(uint32_t providerID)
{
    return providerID == CORE_PROVIDER_ID;
}

std::chrono::steady_clock::time_point PluginSession::LoaderNow()
{
    return std::chrono::steady_clock::now();
}

void* PluginSession::LoadCore()
{
    return this;
}

PluginEntryPoint PluginSession::LoadCallback()
{
    return &PluginSession::Callback;
}

} // namespace dvr::validate
