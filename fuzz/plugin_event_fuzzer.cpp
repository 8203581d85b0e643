// dvrcore::PluginEvent on arbitrary _EventParmsIn records whose data is a heap buffer of exactly
// len bytes, so reading one byte too many is a finding: log lines without a terminating zero,
// every event type and flag, stream control, media gating with throttling on and off, parent
// sends, and releases of kept blocks, of blocks released before, of blocks held by others and of
// addresses the core never handed out. Queued events are delivered in between to a fake plugin
// table whose Write and IOCTL entries keep some blocks and check what they are given. At the end
// every kept block is given back, and the reference block table must be empty.
//
// Input: one flags byte (bit 0 throttling, bit 1 a parent link), then operations:
//   selector u8, eventType u32, eventFlags u32, providerID u32, streamID u32, keyFrame u8,
//   logLevel u32, len u16, then len bytes of data.
// Selector bits 0-1: providerID as given, a fake plugin's ID, 0 (stream control), the core's ID;
// bits 2-3: eventType as given, one of the known types, EVT_RELEASE, or "deliver the queue";
// bit 4: streamID as given, else 0; bit 5: data null; bits 6-7: what an EVT_RELEASE gives back
// (an address made of the input, a kept block, a kept block twice, a kept block by another ID).
#include <sys/socket.h>

#include <memory>
#include <set>
#include <vector>

#include "fuzz_support.h"

namespace {

using dvr::fuzz::InputReader;

constexpr uint32_t FAKE_IDS[] = {0x00110000, 0x00120000, 0x00130000};
constexpr uint32_t KNOWN_TYPES[] = {EVT_VIDEO,        EVT_AUDIO,       EVT_STATUS, EVT_LOG, EVT_CONFIG,
                                    EVT_STREAM_CLOSE, EVT_PARENT_SEND, 0x0300,     0x0003,  0x0008,
                                    0x0010,           0x0020,          0x0080,     0x0400,  0x0141};
constexpr int32_t RESULT_PRESET = 0x5A5A5A5A;

// The state of one input, reached by the fake entry points.
struct Run {
    std::vector<void*> kept[3];          // blocks each fake plugin keeps
    std::set<std::string> sent;          // payloads of accepted events from senders other than the core
    std::vector<std::string> parentSent; // payloads of accepted parent sends, in order
};
Run* run; // this thread only

// Checks a delivered block against what was sent and keeps it when its first byte says so.
uint32_t Receive(int plugin, uint32_t providerID, void* data, uint32_t len)
{
    FUZZ_CHECK((data == nullptr) == (len == 0));
    if (data == nullptr)
        return 0;
    std::string payload(static_cast<const char*>(data), len); // reads every byte given
    if (providerID != CORE_PROVIDER_ID)
        FUZZ_CHECK(run->sent.count(payload) == 1);
    if ((payload[0] & 1) == 0)
        return 0;
    run->kept[plugin].push_back(data);
    return 1;
}

template <int N>
int FakeWrite(void* in, void* out)
{
    auto* parms = static_cast<_WriteParmsIn*>(in);
    auto* result = static_cast<_WriteParmsOut*>(out);
    FUZZ_CHECK(parms->size == sizeof *parms && result->keep == 0 && result->error == 0);
    result->keep = Receive(N, parms->providerID, parms->data, parms->len);
    result->error = static_cast<int32_t>(parms->len & 3); // failures are logged and stepped past
    return static_cast<int>(parms->eventFlags >> 30);
}

template <int N>
int FakeIoctl(void* in, void* out)
{
    auto* parms = static_cast<_IoctlParmsIn*>(in);
    auto* result = static_cast<_IoctlParmsOut*>(out);
    FUZZ_CHECK(parms->command == IOCTL_CONFIG && result->keep == 0);
    result->keep = Receive(N, CORE_PROVIDER_ID, parms->data, parms->len);
    return static_cast<int>(parms->len & 1);
}

// Plugin 0 takes every class, plugin 1 only log lines and documents, plugin 2 says it takes writes
// but exports neither Write nor IOCTL.
void InstallFakePlugins(dvrcore& core)
{
    for (int i = 0; i < 3; ++i) {
        auto record = std::make_shared<PLUGININFO>();
        record->info.providerID = FAKE_IDS[i];
        record->info.acceptsWrites = 1;
        record->name = "fake.so";
        for (uint32_t& mask : record->info.classMasks)
            mask = i == 1 ? 0x02000012 : 0xFFFFFFFF;
        if (i == 0) {
            record->Write = FakeWrite<0>;
            record->IOCTL = FakeIoctl<0>;
        } else if (i == 1) {
            record->Write = FakeWrite<1>;
            record->IOCTL = FakeIoctl<1>;
        }
        core.plugins.Append(record);
    }
}

// Delivers what is queued now, as the queue worker does, without waiting for more: a marker
// queued last ends the round. Lines the core logs meanwhile wait for the next round.
void DeliverQueued(dvrcore& core)
{
    static char markerTag; // no queued copy can have this address
    _EventParmsIn marker{};
    marker.data = &markerTag;
    core.eventQueue.Push(marker);
    dvr::EventRing batch;
    if (!core.eventQueue.TakeAll(batch))
        return;
    while (!batch.Empty()) {
        _EventParmsIn event = batch.PopFront();
        if (event.data == &markerTag)
            break; // queued last: nothing follows it in this batch
        core.referenceBlocks.AddHolder(event.data, event.len, CORE_PROVIDER_ID);
        std::optional<uint32_t> lastHolder = core.DeliverEvent(event);
        core.ReleaseBlock(event.data, CORE_PROVIDER_ID, lastHolder);
    }
}

void Release(dvrcore& core, void* block, uint32_t holder)
{
    _EventParmsIn event{};
    event.size = sizeof event;
    event.version = EVENT_PARMS_IN_VERSION;
    event.eventType = EVT_RELEASE;
    event.providerID = holder;
    event.data = block;
    _EventParmsOut out{sizeof out, EVENT_PARMS_OUT_VERSION, RESULT_PRESET};
    core.PluginEvent(&event, &out);
    FUZZ_CHECK(out.result == RESULT_PRESET);
}

// Gives back a block fake plugin `plugin` kept, in one of the ways selected.
void ReleaseKept(dvrcore& core, int plugin, uint32_t choice, unsigned mode)
{
    std::vector<void*>& kept = run->kept[plugin];
    if (kept.empty())
        return;
    size_t index = choice % kept.size();
    void* block = kept[index];
    if (mode == 3) { // another plugin's release must not free it
        uint32_t before = core.referenceBlocks.BlockCount();
        Release(core, block, FAKE_IDS[(plugin + 1) % 3]);
        FUZZ_CHECK(core.referenceBlocks.BlockCount() == before);
        return;
    }
    kept.erase(kept.begin() + static_cast<ptrdiff_t>(index));
    Release(core, block, FAKE_IDS[plugin]);
    if (mode == 2) // the second release finds nothing: no double free
        Release(core, block, FAKE_IDS[plugin]);
}

bool ValidResult(int32_t result, const _EventParmsIn& event)
{
    if ((event.eventType & EVT_LOG) && (event.eventFlags & (EVF_LOG_QUERY | EVF_LOG_MESSAGE)) == EVF_LOG_QUERY)
        return result >= -128 && result <= 127; // a threshold
    return result == RESULT_PRESET || result == EVENT_ACCEPTED || result == EVENT_REFUSED ||
           result == EVENT_NO_KEY_FRAME || result == EVENT_GATE_EXPIRED || result == EVENT_THROTTLED ||
           result == EVENT_NO_MEMORY;
}

void SendEvent(dvrcore& core, InputReader& input, uint8_t selector)
{
    _EventParmsIn event{};
    event.size = sizeof event;
    event.version = EVENT_PARMS_IN_VERSION;
    uint32_t type = input.Word32();
    event.eventFlags = input.Word32();
    uint32_t provider = input.Word32();
    uint32_t stream = input.Word32();
    SetEventKeyFrame(&event, input.Byte());
    SetEventLogLevel(&event, static_cast<int32_t>(input.Word32()));
    size_t len = input.Word16();
    const uint8_t* bytes = input.Bytes(len);

    switch (selector & 3) {
    case 0: event.providerID = provider; break;
    case 1: event.providerID = FAKE_IDS[provider % 3]; break;
    case 2: event.providerID = 0; break;
    default: event.providerID = CORE_PROVIDER_ID; break;
    }
    const unsigned typeMode = (selector >> 2) & 3;
    if (typeMode == 2) {
        const unsigned mode = selector >> 6;
        if (mode == 0) {
            Release(core, reinterpret_cast<void*>(static_cast<uintptr_t>(provider) << 4), event.providerID);
        } else {
            ReleaseKept(core, static_cast<int>(provider % 3), type, mode);
        }
        return;
    }
    event.eventType = typeMode == 1 ? KNOWN_TYPES[type % std::size(KNOWN_TYPES)] : type;
    event.streamID = (selector & 0x10) ? stream : 0;

    // A buffer of exactly len bytes; for a parent send it becomes the core's.
    const bool parentSend = event.eventType == EVT_PARENT_SEND;
    void* buffer = nullptr;
    if (!(selector & 0x20) || parentSend) {
        buffer = malloc(len);
        FUZZ_CHECK(buffer != nullptr || len == 0);
        if (len != 0)
            memcpy(buffer, bytes, len);
    }
    event.data = buffer;
    event.len = static_cast<uint32_t>(len);
    const std::string payload(reinterpret_cast<const char*>(bytes), len);
    if (event.providerID != CORE_PROVIDER_ID && !parentSend && buffer != nullptr && len != 0)
        run->sent.insert(payload); // before the call: a plugin may see it only if it was sent

    _EventParmsOut out{sizeof out, EVENT_PARMS_OUT_VERSION, RESULT_PRESET};
    core.PluginEvent(&event, &out);
    FUZZ_CHECK(ValidResult(out.result, event));
    if (parentSend) {
        if (out.result == EVENT_ACCEPTED)
            run->parentSent.push_back(payload);
        return; // the buffer is the core's now
    }
    free(buffer);
}

// Runs the I/O handlers (change documents, parent sends) and collects what the parent received.
std::vector<std::string> RunIo(dvrcore& core, int parentEnd)
{
    std::vector<std::string> received;
    std::vector<char> packet(PARENT_PACKET_MAX_LENGTH);
    for (;;) {
        size_t handled = core.ioContext.poll();
        bool any = false;
        if (parentEnd >= 0) {
            ssize_t n;
            while ((n = recv(parentEnd, packet.data(), packet.size(), MSG_DONTWAIT)) >= 0) {
                received.emplace_back(packet.data(), static_cast<size_t>(n));
                any = true;
            }
        }
        if (handled == 0 && !any)
            return received;
        core.ioContext.restart();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dvr::fuzz::EnterScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Run state;
    run = &state;
    auto core = std::make_unique<dvr::fuzz::FuzzCore>();
    InstallFakePlugins(*core);
    InputReader input(data, size);
    const uint8_t setup = input.Byte();
    core->throttling = (setup & 1) != 0;
    int ends[2] = {-1, -1};
    if (setup & 2) {
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
        core->parentSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ends[0]);
        core->parentLinkOpen = true;
    }

    while (!input.Empty()) {
        uint8_t selector = input.Byte();
        if (((selector >> 2) & 3) == 3)
            DeliverQueued(*core);
        else
            SendEvent(*core, input, selector);
    }

    core->RequestStop();
    core->RunQueueWorker(); // delivers the rest and returns, the stop being requested
    std::vector<std::string> received = RunIo(*core, ends[1]);
    FUZZ_CHECK(received == state.parentSent);
    core->ReleaseParentSendQueue();
    for (int plugin = 0; plugin < 3; ++plugin)
        for (void* block : state.kept[plugin])
            Release(*core, block, FAKE_IDS[plugin]);
    FUZZ_CHECK(core->referenceBlocks.BlockCount() == 0 && core->referenceBlocks.LeakReport().empty());
    core.reset();
    if (ends[1] >= 0)
        close(ends[1]);
    run = nullptr;
    return 0;
}
