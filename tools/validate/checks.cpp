#include "checks.h"

#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

#include "events/write_budget.h"
#include "plugin_session.h"
#include "plugins/plugin_records.h"
#include "write_timing.h"

namespace dvr::validate {
namespace {

using std::chrono::milliseconds;

// An older core's Load parameters: the record without the core text at its end.
constexpr uint32_t SHORT_LOAD_IN_SIZE = offsetof(_LoadParmsIn, coreText);
// A Load result record without its last two fields.
constexpr uint32_t SHORT_LOAD_OUT_SIZE = offsetof(_LoadParmsOut, error);
// How long the refusal checks watch a plugin answer each refusal, and the callback calls within
// it that count as spinning: a plugin that retries at once makes tens of thousands.
constexpr milliseconds REFUSAL_PERIOD{200};
constexpr uint64_t SPIN_BOUND = 2000;
constexpr uint32_t WRITES_PER_ROUTE = 20;
constexpr uint32_t BLOCK_SIZE = 256;

// The callback of a Load called with short records: takes every event (nothing else runs yet).
int AcceptEvent(void* /*in*/, void* out)
{
    if (out != nullptr)
        static_cast<_EventParmsOut*>(out)->result = EVENT_ACCEPTED;
    return 0;
}

// A record of size bytes that ends where an unreadable page starts, so that reading past its size
// ends the process with SIGSEGV. The pages stay mapped for the rest of the check's process.
void* GuardedRecord(size_t size)
{
    auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return nullptr;
    mprotect(static_cast<char*>(pages) + page, page, PROT_NONE);
    GuardPage(static_cast<char*>(pages) + page, page);
    return static_cast<char*>(pages) + page - size;
}

// Calls Load of the object at path with a parameter or result record shortened to its given size,
// each ending at a guard page. Returns 1 when Load refused, 0 when it accepted, -1 when the
// object could not be opened (reported).
int LoadWithShortRecord(const std::string& path, CheckContext& context, uint32_t inSize, uint32_t outSize)
{
    context.Step("opening the object", "dlopen did not return: a constructor of the plugin waits");
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        context.Report(Severity::ERROR, std::string("the object could not be opened: ") + dlerror());
        return -1;
    }
    PluginEntryPoint load = FindEntryPoint(handle, "Load");
    if (load == nullptr) {
        context.Report(Severity::ERROR, "the object exports no Load: export int Load(void* in, void* out)");
        return -1;
    }
    _LoadParmsIn fullIn = MakeLoadParmsIn(nullptr, &AcceptEvent);
    _LoadParmsOut fullOut = MakeLoadParmsOut();
    auto* in = static_cast<_LoadParmsIn*>(GuardedRecord(inSize));
    auto* out = static_cast<_LoadParmsOut*>(GuardedRecord(outSize));
    if (in == nullptr || out == nullptr) {
        context.Report(Severity::ERROR, "no memory for the guarded records");
        return -1;
    }
    memcpy(in, &fullIn, inSize);
    memcpy(out, &fullOut, outSize);
    in->size = inSize;
    out->size = outSize;
    if (inSize < sizeof fullIn)
        in->version = LOAD_PARMS_IN_VERSION - 1;
    std::string what = inSize < sizeof fullIn ? "parameter record (_LoadParmsIn, size " + std::to_string(inSize) +
                                                    " of " + std::to_string(sizeof fullIn) + ")"
                                              : "result record (_LoadParmsOut, size " + std::to_string(outSize) +
                                                    " of " + std::to_string(sizeof fullOut) + ")";
    context.Step("Load with a shorter " + what, "Load did not return", "",
                 "Load went past the end of a shorter " + what +
                     ": check size before touching a field, and refuse (return non-zero) a record too short for "
                     "what the plugin needs");
    int code = load(in, out);
    return code != 0 || (outSize == sizeof fullOut && out->error != 0) ? 1 : 0;
}

// Starts one thread and joins it, so that a runtime's own helper threads exist before a count. A
// joined thread can still be listed for a moment after the join returns (an emulator ends the
// host thread behind it later), so the count waits, bounded, until its entry is gone.
size_t SettledThreadCount()
{
    pid_t probe = 0;
    std::thread([&probe] { probe = gettid(); }).join();
    const std::string entry = "/proc/self/task/" + std::to_string(probe);
    for (int round = 0; round < 1000 && access(entry.c_str(), F_OK) == 0; ++round)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return dvr_harness_thread_count();
}

void CheckLoadShortRecord(const std::string& path, CheckContext& context)
{
    int refused = LoadWithShortRecord(path, context, SHORT_LOAD_IN_SIZE, sizeof(_LoadParmsOut));
    if (refused == 1)
        context.Report(Severity::INFO, "Load refused a shorter parameter record cleanly");
    else if (refused == 0)
        context.Report(Severity::INFO, "Load accepted a shorter parameter record without reading past its size");
}

void CheckRefusedLoadThreads(const std::string& path, CheckContext& context)
{
    size_t baseline = SettledThreadCount();
    int refused = LoadWithShortRecord(path, context, SHORT_LOAD_IN_SIZE, sizeof(_LoadParmsOut));
    if (refused == 0)
        refused = LoadWithShortRecord(path, context, sizeof(_LoadParmsIn), SHORT_LOAD_OUT_SIZE);
    if (refused < 0)
        return;
    if (refused == 0) {
        context.Report(Severity::INFO, "Load accepted every record it was given, so a refused Load was not seen");
        return;
    }
    context.Step("counting threads after the refused Load", "counting threads did not end");
    size_t left = dvr_harness_wait_threads(baseline, static_cast<int>(context.Budget().count() / 2));
    if (left > 0)
        context.Report(Severity::ERROR,
                       "Load refused but left " + std::to_string(left) +
                           " thread(s) running: a refused plugin is unloaded without any further call, so a Load "
                           "that refuses must first end and join every thread it started (better: start threads "
                           "in Open, or use the worker thread the core lends)");
    else
        context.Report(Severity::INFO, "Load refused a shorter record and left no thread running");
}

// Delivers WRITES_PER_ROUTE events of each class the plugin takes; returns the time of each Write.
// stopWhenSlow: stops once more than half of the calls planned reached the budget, which makes
// their median do so whatever the rest would take.
std::vector<dvr_harness_call_time> DeliverWrites(PluginSession& session, bool stopWhenSlow)
{
    std::vector<dvr_harness_call_time> times;
    const auto routes = session.WriteRoutes();
    const size_t planned = routes.size() * WRITES_PER_ROUTE;
    size_t slow = 0;
    for (auto [type, flags] : routes) {
        for (uint32_t i = 0; i < WRITES_PER_ROUTE; ++i) {
            if (std::optional<dvr_harness_call_time> time = session.Write(type, flags, BLOCK_SIZE, i % 5 == 0)) {
                times.push_back(*time);
                slow += OverWriteBudget(JudgeWrites({*time})) ? 1 : 0;
            }
            if (stopWhenSlow && slow > planned / 2)
                return times;
        }
    }
    return times;
}

void CheckCloseWhileRunning(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Start())
        return;
    DeliverWrites(session, false);
    auto start = std::chrono::steady_clock::now();
    session.Close();
    auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    session.Unload();
    context.Report(Severity::INFO, "Close returned and the worker and read threads ended within " +
                                       std::to_string(took.count()) + " ms");
}

void CheckCloseAfterFailedOpen(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Load())
        return;
    int code = session.Open();
    if (code == 0)
        context.Report(Severity::INFO, "Open succeeded here, so Close after a failed Open was not exercised");
    else
        context.Report(Severity::INFO, "Open returned " + std::to_string(code));
    session.Close("Close crashed after Open had failed: the core calls Close whatever Open returned, so Close must "
                  "work with whatever a failed Open left (check what Open would have set)");
    session.Unload();
}

void CheckUnloadThreads(const std::string& path, CheckContext& context)
{
    size_t baseline = SettledThreadCount();
    PluginSession session(path, context);
    if (!session.Start())
        return;
    DeliverWrites(session, false);
    session.Unload();
    context.Step("counting threads after Unload", "counting threads did not end");
    size_t left = dvr_harness_wait_threads(baseline, static_cast<int>(context.Budget().count() / 2));
    if (left > 0) {
        context.Report(Severity::ERROR, std::to_string(left) +
                                            " thread(s) of the plugin still running after Unload: the object is "
                                            "unmapped after Unload, so every thread the plugin started must be told "
                                            "to end in Close and joined by Unload at the latest");
        return;
    }
    session.Unmap();
}

void CheckKeptBlocks(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Start())
        return;
    DeliverWrites(session, false);
    session.SendConfig("<oDVR><Modules/></oDVR>");
    session.SendConfig("<oDVR Delta=\"1\"><Modules/></oDVR>");
    session.Unload();
    session.ReportBlocks();
}

void CheckWriteTime(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Start())
        return;
    WriteTiming timing = JudgeWrites(DeliverWrites(session, true));
    if (OverWriteBudget(timing))
        context.Report(Severity::WARNING,
                       "Write is slow: " + DescribeWrites(timing) + ", and the core logs every Write of " +
                           std::to_string(CORE_WRITE_BUDGET.count()) +
                           " ms or more (\"core write took\"): Write runs on the core's only delivery thread, so "
                           "hand slow work to a thread of the plugin");
    else if (timing.calls > 0)
        context.Report(Severity::INFO, DescribeWrites(timing));
    session.Unload();
}

void CheckRefusalSpin(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Start())
        return;
    context.Step("answering queued events with refusals",
                 "the plugin stopped making progress while its events were refused");
    for (int32_t answer : {EVENT_REFUSED, EVENT_THROTTLED, EVENT_NO_KEY_FRAME}) {
        session.AnswerQueuedEvents(answer);
        uint64_t before = session.CallbackCalls();
        if (session.WaitForCalls(before + SPIN_BOUND, REFUSAL_PERIOD)) {
            context.Report(Severity::ERROR, std::string("the plugin spins on ") + AnswerName(answer) + ": more than " +
                                                std::to_string(SPIN_BOUND) + " callback calls within " +
                                                std::to_string(REFUSAL_PERIOD.count()) +
                                                " ms; after a refusal, drop the event or wait for the next frame or "
                                                "tick, never retry at once");
            break;
        }
    }
    session.AnswerQueuedEvents(EVENT_ACCEPTED);
    session.Unload();
}

void CheckKeyFrameAfterRefusal(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Start())
        return;
    milliseconds wait = context.Budget() / 2;
    context.Step("waiting for gated video frames", "the plugin stopped making progress while its frames were refused");
    if (!session.WaitForVideoFrames(0, wait)) {
        context.Report(Severity::INFO, "no gated video frame (EVT_VIDEO with EVF_MEDIA_GATED) was raised: not a "
                                       "media source, so the key-frame rule was not exercised");
        session.Unload();
        return;
    }
    for (int32_t answer : {EVENT_NO_KEY_FRAME, EVENT_GATE_EXPIRED, EVENT_THROTTLED}) {
        uint64_t seen = session.VideoFrames();
        session.RefuseNextVideoFrame(answer);
        // The refused frame, then the one that must be a key frame.
        if (!session.WaitForVideoFrames(seen + 1, wait)) {
            context.Report(Severity::INFO, std::string("no video frame followed ") + AnswerName(answer));
            break;
        }
    }
    int32_t after = EVENT_ACCEPTED;
    if (session.MissingKeyFrames(&after) > 0)
        context.Report(Severity::ERROR,
                       std::string("the next gated video frame after ") + AnswerName(after) +
                           " was not a key frame: after EVENT_NO_KEY_FRAME, EVENT_GATE_EXPIRED or EVENT_THROTTLED "
                           "send a key frame next (SetEventKeyFrame(&event, 1)); the gate refuses every other "
                           "frame until then");
    session.Unload();
}

void CheckStress(const std::string& path, CheckContext& context)
{
    PluginSession session(path, context);
    if (!session.Start())
        return;
    session.BeginFixedStep("Write, parent packets and stream readers at once",
                           "a call did not return while Write, IOCTL_PARENT and stream readers ran at once: look "
                           "for two locks taken in different orders, or a lock of the plugin held while calling "
                           "the core");
    uint32_t streamID = 1;
    for (size_t round = 0; round < 2; ++round)
        for (auto route : session.ReaderRoutes())
            session.OpenStream(streamID++, route);
    std::thread parent([&session] {
        for (uint32_t i = 0; i < 100; ++i)
            session.SendParentPacket(IPC_PARAMETERS);
    });
    for (int round = 0; round < 5; ++round) {
        for (auto [type, flags] : session.WriteRoutes())
            for (uint32_t i = 0; i < WRITES_PER_ROUTE; ++i)
                session.Write(type, flags, BLOCK_SIZE, i % 5 == 0);
        session.SendConfig("<oDVR/>");
    }
    parent.join();
    session.EndFixedStep();
    session.CloseStreamsAndJoinReaders();
    session.Unload();
    session.ReportBlocks();
}

} // namespace

const std::vector<Check>& Checks()
{
    static const std::vector<Check> checks = {
        {"load-short-record", "Load with a shorter parameter record: refuse it or read nothing past its size",
         CheckLoadShortRecord, ""},
        {"refused-load-threads", "a Load that refuses leaves no thread running", CheckRefusedLoadThreads,
         "load-short-record"},
        {"close-while-running", "Close returns at once while the worker and read threads run, and they then end",
         CheckCloseWhileRunning, LOAD_STEP},
        {"close-after-failed-open", "Close works after Open returned an error", CheckCloseAfterFailedOpen, LOAD_STEP},
        {"unload-threads", "no thread of the plugin outlives Unload", CheckUnloadThreads, LOAD_STEP},
        {"kept-blocks", "every kept block given back once, under the plugin's ID, unmodified", CheckKeptBlocks,
         LOAD_STEP},
        {"write-time", "Write returns within the 6 ms at which the core warns (a warning)", CheckWriteTime, LOAD_STEP},
        {"refusal-spin", "refused events (stopping, throttled, no key frame) do not make the plugin spin",
         CheckRefusalSpin, LOAD_STEP},
        {"key-frame-after-refusal", "a media source sends a key frame next after the gate refused a frame",
         CheckKeyFrameAfterRefusal, LOAD_STEP},
        {"stress", "Write, parent packets and stream readers at once (races: build with ThreadSanitizer)", CheckStress,
         LOAD_STEP},
    };
    return checks;
}

} // namespace dvr::validate
