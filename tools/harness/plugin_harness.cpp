#include "plugin_harness.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "callback_slots.h"
#include "events/routing.h"
#include "ipc/parent_protocol.h"
#include "log/format_text.h"
#include "plugins/plugin_records.h"

namespace dvr::harness {

static_assert(static_cast<int>(LoadOutcome::LOADED) == DVR_HARNESS_LOADED);
static_assert(static_cast<int>(LoadOutcome::LOADER_REFUSED) == DVR_HARNESS_LOADER_REFUSED);
static_assert(static_cast<int>(LoadOutcome::MISSING_LOAD) == DVR_HARNESS_MISSING_LOAD);
static_assert(static_cast<int>(LoadOutcome::LOAD_FAILED) == DVR_HARNESS_LOAD_FAILED);
static_assert(static_cast<int>(LoadOutcome::DUPLICATE_ID) == DVR_HARNESS_DUPLICATE_ID);
static_assert(static_cast<int>(LoadOutcome::MODULE_INDEX_TOO_BIG) == DVR_HARNESS_MODULE_INDEX_TOO_BIG);

PluginHarness::PluginHarness(std::string path)
    : path_(std::move(path))
{
}

PluginHarness::~PluginHarness() = default;

bool PluginHarness::Bind()
{
    callback_ = TakeCallbackSlot(shared_from_this());
    return callback_ != nullptr;
}

void PluginHarness::SetTimeout(int timeoutMs)
{
    timeoutMs_ = timeoutMs < 0 ? 0 : timeoutMs;
}

void PluginHarness::SetLogThreshold(int32_t threshold)
{
    logThreshold_ = threshold;
}

void PluginHarness::SetShutdownLogger(bool on)
{
    shutdownLogger_ = on;
}

void PluginHarness::SetWorkerThread(bool on)
{
    workerThread_ = on;
}

void PluginHarness::SetStepHook(dvr_harness_step_hook hook, void* context)
{
    stepContext_ = context;
    stepHook_ = hook;
}

void PluginHarness::BeginStep(const char* step) const
{
    if (dvr_harness_step_hook hook = stepHook_.load())
        hook(stepContext_.load(), step);
}

EventRecorder& PluginHarness::Events()
{
    return events_;
}

CallTimes& PluginHarness::Times()
{
    return times_;
}

std::chrono::milliseconds PluginHarness::Timeout(int timeoutMs) const
{
    return std::chrono::milliseconds(timeoutMs < 0 ? timeoutMs_.load() : timeoutMs);
}

void PluginHarness::AddViolation(std::string text)
{
    std::lock_guard lock(violationsLock_);
    violations_.push_back(std::move(text));
}

bool PluginHarness::RunCall(CallThread& thread, std::function<void()> call, const char* what)
{
    BeginStep(what);
    if (thread.Run(std::move(call), Timeout()))
        return true;
    AddViolation(FormatText("%s did not return within %d ms", what, timeoutMs_.load()));
    std::lock_guard lock(lifeLock_);
    stage_ = Stage::STUCK;
    return false;
}

bool PluginHarness::DeliverableLocked() const
{
    return stage_ == Stage::LOADED || stage_ == Stage::OPENING || stage_ == Stage::OPEN;
}

bool PluginHarness::Deliverable() const
{
    std::lock_guard lock(lifeLock_);
    return DeliverableLocked();
}

bool PluginHarness::Running() const
{
    std::lock_guard lock(lifeLock_);
    return stage_ == Stage::LOADING || stage_ == Stage::LOADED || stage_ == Stage::OPENING || stage_ == Stage::OPEN;
}

// ---- Life cycle, on the harness's main thread ---------------------------------------------------

int PluginHarness::Load()
{
    {
        std::lock_guard lock(lifeLock_);
        if (stage_ != Stage::NEW)
            return DVR_HARNESS_NOT_RUNNING;
        stage_ = Stage::LOADING;
        mainThread_ = std::make_unique<CallThread>(this, DVR_HARNESS_THREAD_MAIN);
        deliveryThread_ = std::make_unique<CallThread>(this, DVR_HARNESS_THREAD_DELIVERY);
        ioThread_ = std::make_unique<CallThread>(this, DVR_HARNESS_THREAD_IO);
        baselineThreads_ = CountOtherThreads();
    }
    auto result = std::make_shared<PluginLoadResult>();
    auto self = shared_from_this();
    if (!RunCall(
            *mainThread_,
            [self, result] { self->times_.Time("Load", [&] { *result = LoadPluginFile(self->path_, *self); }); },
            "Load"))
        return DVR_HARNESS_TIMED_OUT;

    const bool loaded = result->outcome == LoadOutcome::LOADED;
    if (loaded)
        pluginID_ = result->info.providerID;
    {
        std::lock_guard lock(lifeLock_);
        loaded_ = *result;
        stage_ = loaded ? Stage::LOADED : Stage::REFUSED;
    }
    if (!loaded)
        return DVR_HARNESS_REFUSED;
    // The core takes the record as it set it; a plugin that rewrites its header misreads the ABI.
    for (std::string& problem : LoadResultHeaderProblems(result->info))
        AddViolation(std::move(problem));
    // The worker runs from now on, before Open, as in the core; the shutdown logger gets none.
    PluginEntryPoint ioctl = result->entries.IOCTL;
    if (result->info.wantsWorkerThread != 0 && ioctl != nullptr && workerThread_ && !shutdownLogger_)
        worker_ = std::make_unique<HarnessThread>(this, DVR_HARNESS_THREAD_WORKER, [ioctl] {
            _IoctlParmsIn in = MakeWorkerIoctlParmsIn();
            _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_WORKER);
            ioctl(&in, &out); // returns once the plugin is closed
        });
    return DVR_HARNESS_OK;
}

int PluginHarness::Open()
{
    PluginEntryPoint open = nullptr;
    PluginEntryPoint read = nullptr;
    bool wantsReads = false;
    {
        std::lock_guard lock(lifeLock_);
        if (stage_ != Stage::LOADED)
            return DVR_HARNESS_NOT_RUNNING;
        stage_ = Stage::OPENING;
        open = loaded_.entries.Open;
        read = loaded_.entries.Read;
        wantsReads = loaded_.info.wantsReads != 0;
    }
    auto code = std::make_shared<int>(PLUGIN_ENTRY_UNAVAILABLE);
    const uint32_t instance = shutdownLogger_ ? 1 : 0;
    auto call = [self = shared_from_this(), open, code, instance] {
        _OpenParmsIn in = MakeOpenParmsIn(instance);
        _OpenParmsOut out = MakeOpenParmsOut();
        if (open != nullptr)
            *code = self->times_.Call("Open", open, &in, &out);
    };
    if (!RunCall(*mainThread_, call, "Open"))
        return DVR_HARNESS_TIMED_OUT;
    {
        std::lock_guard lock(lifeLock_);
        stage_ = Stage::OPEN;
    }
    // Whatever Open answered, as the core does: its result is only logged.
    if (wantsReads && read != nullptr && !shutdownLogger_)
        asyncReader_ = std::make_unique<HarnessThread>(this, DVR_HARNESS_THREAD_ASYNC_READ, [read] {
            _ReadParmsIn in = MakeAsyncReadParmsIn();
            _ReadParmsOut out = MakeReadParmsOut();
            read(&in, &out);
        });
    return *code;
}

void PluginHarness::JoinPluginThread(std::unique_ptr<HarnessThread>& thread, const char* what)
{
    if (!thread)
        return;
    BeginStep(what);
    if (!thread->Finish(Timeout())) {
        AddViolation(FormatText("%s did not return within %d ms after Close", what, timeoutMs_.load()));
        std::lock_guard lock(lifeLock_);
        stage_ = Stage::STUCK;
    }
    thread.reset();
}

int PluginHarness::Close()
{
    PluginEntryPoint close = nullptr;
    {
        std::lock_guard lock(lifeLock_);
        if (stage_ != Stage::LOADED && stage_ != Stage::OPEN)
            return DVR_HARNESS_NOT_RUNNING;
        stage_ = Stage::CLOSING;
        close = loaded_.entries.Close;
    }
    streams_.Stop(); // as the stopping core: stream events refused, waiting readers woken
    {
        std::lock_guard lock(readersLock_);
        readersStopped_ = true; // no reader starts from here on
    }
    // Calls posted before now finish first; later ones find the plugin closing and are skipped.
    if (!RunCall(
            *deliveryThread_, [] {}, "Write") ||
        !RunCall(
            *ioThread_, [] {}, "IOCTL_PARENT"))
        return DVR_HARNESS_TIMED_OUT;
    auto code = std::make_shared<int>(PLUGIN_ENTRY_UNAVAILABLE);
    auto call = [self = shared_from_this(), close, code] {
        _CloseParmsIn in = MakeCloseParmsIn();
        _CloseParmsOut out = MakeCloseParmsOut();
        if (close != nullptr)
            *code = self->times_.Call("Close", close, &in, &out);
    };
    if (!RunCall(*mainThread_, call, "Close"))
        return DVR_HARNESS_TIMED_OUT;
    JoinPluginThread(worker_, "IOCTL_WORKER");
    JoinPluginThread(asyncReader_, "The asynchronous Read");
    std::vector<std::unique_ptr<HarnessThread>> readers;
    {
        std::lock_guard lock(readersLock_);
        readers.swap(readers_);
    }
    for (std::unique_ptr<HarnessThread>& reader : readers)
        JoinPluginThread(reader, "A stream's Read");
    std::lock_guard lock(lifeLock_);
    if (stage_ == Stage::CLOSING)
        stage_ = Stage::CLOSED;
    return stage_ == Stage::CLOSED ? *code : DVR_HARNESS_TIMED_OUT;
}

int PluginHarness::Unload()
{
    Stage stage = Stage::NEW;
    {
        std::lock_guard lock(lifeLock_);
        stage = stage_;
    }
    if (stage == Stage::LOADED || stage == Stage::OPEN) {
        int closed = Close();
        if (closed == DVR_HARNESS_TIMED_OUT)
            return closed;
    }
    PluginEntryPoint unload = nullptr;
    {
        std::lock_guard lock(lifeLock_);
        if (stage_ != Stage::CLOSED)
            return DVR_HARNESS_NOT_RUNNING;
        stage_ = Stage::UNLOADING;
        unload = loaded_.entries.Unload;
    }
    auto code = std::make_shared<int>(PLUGIN_ENTRY_UNAVAILABLE);
    auto call = [self = shared_from_this(), unload, code] {
        _UnloadParmsIn in = MakeUnloadParmsIn();
        _UnloadParmsOut out = MakeUnloadParmsOut();
        if (unload != nullptr)
            *code = self->times_.Call("Unload", unload, &in, &out);
    };
    if (!RunCall(*mainThread_, call, "Unload"))
        return DVR_HARNESS_TIMED_OUT;
    std::lock_guard lock(lifeLock_);
    stage_ = Stage::UNLOADED;
    return *code;
}

std::vector<std::string> PluginHarness::Teardown()
{
    Unload(); // closes first when still open; does nothing when never loaded
    bool stuck = false;
    for (std::unique_ptr<CallThread>* thread : {&mainThread_, &deliveryThread_, &ioThread_}) {
        if (*thread && !(*thread)->Stop(Timeout()))
            stuck = true; // a call that never returned: reported when it timed out
        thread->reset();
    }
    Stage stage = Stage::NEW;
    void* handle = nullptr;
    size_t baseline = 0;
    {
        std::lock_guard lock(lifeLock_);
        stage = stage_;
        handle = loaded_.handle;
        baseline = baselineThreads_;
    }
    stuck = stuck || stage == Stage::STUCK;
    if (stuck) { // Close never ran: the plugin's threads are let go, not waited for
        std::vector<std::unique_ptr<HarnessThread>> threads;
        threads.push_back(std::move(worker_));
        threads.push_back(std::move(asyncReader_));
        {
            std::lock_guard lock(readersLock_);
            for (std::unique_ptr<HarnessThread>& reader : readers_)
                threads.push_back(std::move(reader));
            readers_.clear();
        }
        for (std::unique_ptr<HarnessThread>& thread : threads)
            if (thread)
                thread->Finish(std::chrono::milliseconds(0));
    }

    // Threads the plugin started and did not end: a short wait for those already on their way out.
    bool threadsLeft = false;
    if (stage == Stage::UNLOADED) {
        if (size_t left = WaitForOtherThreads(baseline, Timeout()); left > 0) {
            threadsLeft = true;
            AddViolation(FormatText("%zu thread(s) of the plugin still running after Unload", left));
        }
    }
    // An object whose code may still run stays mapped, as does one the core never unmaps.
    if (stage == Stage::UNLOADED && !threadsLeft && handle != nullptr && pluginID_ != PROVIDER_ID_NEVER_UNMAPPED) {
        BeginStep("dlclose");
        dlclose(handle);
    }

    std::vector<std::string> found;
    blocks_.ReportLeaks(found);
    times_.ReportSlowWrites(found);
    if (stuck || threadsLeft)
        blocks_.Abandon(); // the plugin may still touch them
    events_.ReportUnexpectedFailures(found);
    FreeCallbackSlot(callback_);

    std::lock_guard lock(violationsLock_);
    violations_.insert(violations_.end(), found.begin(), found.end());
    return violations_;
}

int PluginHarness::LoadOutcome() const
{
    std::lock_guard lock(lifeLock_);
    if (stage_ == Stage::NEW || stage_ == Stage::LOADING)
        return DVR_HARNESS_NOT_LOADED;
    return static_cast<int>(loaded_.outcome);
}

const char* PluginHarness::Refusal() const
{
    std::lock_guard lock(lifeLock_);
    return stage_ == Stage::NEW || stage_ == Stage::LOADING ? "" : loaded_.refusal.c_str();
}

const _LoadParmsOut* PluginHarness::Info() const
{
    std::lock_guard lock(lifeLock_);
    if (stage_ == Stage::NEW || stage_ == Stage::LOADING || loaded_.loadCode == PLUGIN_NOT_LOADED)
        return nullptr;
    return &loaded_.info;
}

// ---- The loader's host --------------------------------------------------------------------------

void PluginHarness::LoaderLog(int /*level*/, const std::string& /*line*/)
{
    // The refusal line comes with the result; the other lines say nothing a test checks.
}

bool PluginHarness::ProviderIDTaken(uint32_t providerID)
{
    return providerID == CORE_PROVIDER_ID; // no other plugin is loaded here
}

std::chrono::steady_clock::time_point PluginHarness::LoaderNow()
{
    return std::chrono::steady_clock::now();
}

void* PluginHarness::LoadCore()
{
    return shutdownLogger_ ? nullptr : static_cast<void*>(this);
}

PluginEntryPoint PluginHarness::LoadCallback()
{
    return callback_;
}

// ---- Events the plugin raises -------------------------------------------------------------------

int PluginHarness::OnEvent(_EventParmsIn* in, _EventParmsOut* out)
{
    if (in == nullptr || out == nullptr)
        return 0;
    const ThreadIdentity& thread = CurrentThread();
    const int role = thread.harness == this ? thread.role : DVR_HARNESS_THREAD_OTHER;
    const _EventParmsIn event = *in;
    const uint32_t type = event.eventType;

    if (type == EVT_RELEASE) {
        std::vector<std::string> found;
        blocks_.Release(event.data, event.providerID, pluginID_, found);
        for (std::string& text : found)
            AddViolation(std::move(text));
        // The result stays as the plugin set it.
    } else if (event.providerID == 0 && type != EVT_PARENT_SEND) { // stream control, never queued
        if (type == EVT_STREAM_CLOSE) {
            streams_.CloseStream(event.streamID);
        } else {
            streams_.ReopenStream(event.streamID);
            if (Running())
                StartReadersFor(event);
        }
        out->result = EVENT_ACCEPTED;
    } else if ((type & EVT_LOG) != 0 && (event.eventFlags & EVF_LOG_MESSAGE) != 0) {
        // A line is written and its result left as it was.
    } else if ((type & EVT_LOG) != 0 && (event.eventFlags & EVF_LOG_QUERY) != 0) {
        out->result = logThreshold_;
    } else if (type != EVT_PARENT_SEND && !Admitted(event)) {
        out->result = EVENT_REFUSED;
    } else {
        out->result = events_.NextAnswer(type);
    }
    events_.Record(event, out->result, role, CurrentThreadId());
    if (type == EVT_PARENT_SEND)
        free(in->data); // the core's from the call on
    return 0;
}

bool PluginHarness::Admitted(const _EventParmsIn& event)
{
    if (!Running())
        return false; // the core stops
    // A stream's events only while it is open, and only from a reader thread.
    return event.streamID == 0 || streams_.AdmitStreamEvent(event.streamID) != nullptr;
}

// ---- Pushing into the plugin --------------------------------------------------------------------

int PluginHarness::Push(const _EventParmsIn& event, dvr_harness_delivery* delivery)
{
    PluginEntryPoint write = nullptr;
    PluginEntryPoint ioctl = nullptr;
    _LoadParmsOut info{};
    {
        std::lock_guard lock(lifeLock_);
        if (!DeliverableLocked())
            return DVR_HARNESS_NOT_RUNNING;
        write = loaded_.entries.Write;
        ioctl = loaded_.entries.IOCTL;
        info = loaded_.info;
    }
    // The queue worker's rule: a configuration document to IOCTL_CONFIG of every plugin but its
    // sender; anything else to Write when the class masks take the delivery routing key.
    const bool isConfig = (event.eventType & EVT_CONFIG) != 0;
    PluginEntryPoint entry = nullptr;
    if (isConfig)
        entry = event.providerID == info.providerID ? nullptr : ioctl;
    else if (info.acceptsWrites != 0 &&
             MatchesClassMasks(event.eventType, DeliveryRoutingKey(event.eventFlags), info.classMasks))
        entry = write;
    if (entry == nullptr)
        return DVR_HARNESS_NOT_DELIVERED;

    _EventParmsIn copy = event;
    copy.data = nullptr;
    copy.len = 0;
    if (event.data != nullptr && event.len != 0) {
        copy.data = blocks_.Deliver(event.data, event.len);
        if (copy.data == nullptr)
            return DVR_HARNESS_BAD_ARGUMENT; // no memory for the copy
        copy.len = event.len;
    }
    auto outcome = std::make_shared<CallOutcome>();
    outcome->delivery.block = copy.data;
    auto self = shared_from_this();
    auto call = [self, entry, copy, isConfig, outcome] {
        dvr_harness_delivery* result = &outcome->delivery;
        if (!self->Deliverable()) { // closed since the push was taken
            outcome->skipped = true;
        } else if (isConfig) {
            _IoctlParmsIn in = MakeDataIoctlParmsIn(IOCTL_CONFIG, copy.len, copy.data);
            _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_CONFIG);
            result->returned = self->times_.Call("IOCTL_CONFIG", entry, &in, &out);
            result->error = out.error;
            result->keep = out.keep;
        } else {
            _WriteParmsIn in = MakeWriteParmsIn(copy);
            _WriteParmsOut out = MakeWriteParmsOut();
            result->returned = self->times_.Call("Write", entry, &in, &out);
            result->error = out.error;
            result->keep = out.keep;
        }
        if (copy.data != nullptr) {
            std::vector<std::string> found;
            self->blocks_.CallReturned(copy.data, result->keep, found);
            for (std::string& text : found)
                self->AddViolation(std::move(text));
        }
    };
    if (!RunCall(*deliveryThread_, call, isConfig ? "IOCTL_CONFIG" : "Write"))
        return DVR_HARNESS_TIMED_OUT;
    if (outcome->skipped)
        return DVR_HARNESS_NOT_RUNNING;
    if (delivery != nullptr)
        *delivery = outcome->delivery;
    return DVR_HARNESS_OK;
}

int PluginHarness::PushCoreLog(int level, const std::string& text)
{
    PluginEntryPoint write = nullptr;
    {
        std::lock_guard lock(lifeLock_);
        if (!DeliverableLocked())
            return DVR_HARNESS_NOT_RUNNING;
        write = loaded_.entries.Write;
    }
    if (write == nullptr)
        return DVR_HARNESS_NOT_DELIVERED;
    auto self = shared_from_this();
    auto call = [self, write, level, text] {
        if (!self->Deliverable())
            return; // closed since the push was taken
        _WriteParmsIn in = MakeLogWriteParmsIn(level, text);
        _WriteParmsOut out = MakeWriteParmsOut();
        self->times_.Call("Write", write, &in, &out);
    };
    return RunCall(*deliveryThread_, call, "Write") ? DVR_HARNESS_OK : DVR_HARNESS_TIMED_OUT;
}

int PluginHarness::PushParent(uint32_t target, uint32_t command, const void* body, uint32_t len,
                              dvr_harness_delivery* delivery)
{
    if ((body == nullptr && len != 0) || len > PARENT_PACKET_MAX_LENGTH - PARENT_PACKET_HEADER_SIZE)
        return DVR_HARNESS_BAD_ARGUMENT;
    PluginEntryPoint ioctl = nullptr;
    uint32_t providerID = 0;
    {
        std::lock_guard lock(lifeLock_);
        if (!DeliverableLocked())
            return DVR_HARNESS_NOT_RUNNING;
        ioctl = loaded_.entries.IOCTL;
        providerID = loaded_.info.providerID;
    }
    // The core keeps these two for itself; any other goes to the plugin the target names.
    if (command == IPC_STOP || (command == IPC_PARAMETERS && len != 0) || !ParentTargetMatches(target, providerID) ||
        ioctl == nullptr)
        return DVR_HARNESS_NOT_DELIVERED;
    auto packet = std::make_shared<std::vector<uint8_t>>(MakeParentPacket(target, command, body, len));
    auto outcome = std::make_shared<CallOutcome>();
    auto self = shared_from_this();
    auto call = [self, ioctl, packet, outcome] {
        dvr_harness_delivery* result = &outcome->delivery;
        if (!self->Deliverable()) {
            outcome->skipped = true; // closed since the push was taken
            return;
        }
        _IoctlParmsIn in = MakeDataIoctlParmsIn(IOCTL_PARENT, static_cast<uint32_t>(packet->size()), packet->data());
        _IoctlParmsOut out = MakeIoctlParmsOut(IOCTL_PARENT);
        result->returned = self->times_.Call("IOCTL_PARENT", ioctl, &in, &out);
        result->error = out.error;
        result->keep = out.keep;
    };
    if (!RunCall(*ioThread_, call, "IOCTL_PARENT"))
        return DVR_HARNESS_TIMED_OUT;
    if (outcome->skipped)
        return DVR_HARNESS_NOT_RUNNING;
    if (delivery != nullptr)
        *delivery = outcome->delivery;
    return DVR_HARNESS_OK;
}

// ---- Streams ------------------------------------------------------------------------------------

bool PluginHarness::StartReadersFor(const _EventParmsIn& event)
{
    PluginEntryPoint read = nullptr;
    _LoadParmsOut info{};
    {
        std::lock_guard lock(lifeLock_);
        read = loaded_.entries.Read;
        info = loaded_.info;
    }
    if (info.wantsReads == 0 || read == nullptr ||
        !MatchesClassMasks(event.eventType, ReaderRoutingKey(event.eventFlags), info.classMasks))
        return false;
    // The reader's own copy of the event's data, freed when its Read returns.
    std::vector<uint8_t> copy;
    if (event.data != nullptr && event.len != 0)
        copy.assign(static_cast<const uint8_t*>(event.data), static_cast<const uint8_t*>(event.data) + event.len);
    auto self = shared_from_this();
    auto body = [self, read, copy = std::move(copy), streamID = event.streamID]() mutable {
        {
            ReaderRegistration registration(self->streams_);
            _ReadParmsIn in = MakeStreamReadParmsIn(static_cast<uint32_t>(copy.size()),
                                                    copy.empty() ? nullptr : copy.data(), streamID);
            _ReadParmsOut out = MakeReadParmsOut();
            read(&in, &out);
        }
        std::lock_guard lock(self->readersLock_);
        --self->readersRunning_;
        self->readersChanged_.notify_all();
    };
    std::lock_guard lock(readersLock_);
    if (readersStopped_)
        return false; // closing: the core starts no reader for a plugin being closed
    ++readersRunning_;
    readers_.push_back(std::make_unique<HarnessThread>(this, DVR_HARNESS_THREAD_READER, std::move(body)));
    return true;
}

int PluginHarness::OpenStream(const _EventParmsIn& event)
{
    if (event.providerID != 0 || event.eventType == EVT_STREAM_CLOSE)
        return DVR_HARNESS_BAD_ARGUMENT;
    {
        std::lock_guard lock(lifeLock_);
        if (!DeliverableLocked())
            return DVR_HARNESS_NOT_RUNNING;
    }
    streams_.ReopenStream(event.streamID);
    return StartReadersFor(event) ? DVR_HARNESS_OK : DVR_HARNESS_NOT_DELIVERED;
}

int PluginHarness::CloseStream(uint32_t streamID)
{
    streams_.CloseStream(streamID);
    return DVR_HARNESS_OK;
}

int PluginHarness::WaitReaders(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(readersLock_);
    return readersChanged_.wait_for(lock, timeout, [&] { return readersRunning_ == 0; }) ? DVR_HARNESS_OK
                                                                                         : DVR_HARNESS_TIMED_OUT;
}

dvr_harness_block_counts PluginHarness::Blocks()
{
    return blocks_.Counts();
}

// ---- Stress -------------------------------------------------------------------------------------

size_t PluginHarness::Stress(const dvr_harness_stress_plan& plan)
{
    std::atomic<size_t> incomplete{0};
    std::atomic<uint32_t> nextStream{0};
    auto count = [&](int result) {
        if (result != DVR_HARNESS_OK && result != DVR_HARNESS_NOT_DELIVERED)
            ++incomplete;
    };
    auto run = [&] {
        for (unsigned round = 0; round < plan.rounds; ++round) {
            _EventParmsIn stream{};
            if (plan.stream_open != nullptr) {
                stream = *plan.stream_open;
                stream.streamID += nextStream++;
                count(OpenStream(stream));
            }
            for (size_t i = 0; i < plan.event_count; ++i)
                count(Push(plan.events[i], nullptr));
            if (plan.parent_command != 0)
                count(PushParent(plan.parent_target, plan.parent_command, plan.parent_body, plan.parent_len, nullptr));
            if (plan.stream_open != nullptr)
                CloseStream(stream.streamID);
        }
    };
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < plan.threads; ++i)
        threads.emplace_back(run);
    for (std::thread& thread : threads)
        thread.join();
    return incomplete;
}

} // namespace dvr::harness
