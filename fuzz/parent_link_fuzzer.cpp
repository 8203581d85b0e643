// The parent link's framing and dispatch, end to end. The input is a list of packets, each a
// 16-bit length and that many bytes; the fuzzer sends each as one packet over a real
// sequenced-packet socket to a fresh core, whose I/O handlers run on this thread, and finally
// closes the link as a parent that vanishes in the middle of a packet would. The plugin table is
// fake: its IOCTL entries record what they are given. A reference framing of the same bytes says
// which packets must reach which plugin, so a lost, merged, split or overrun packet is a finding,
// and so is a receive that never completes.
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "ipc/parent_protocol.h"

namespace {

using dvr::fuzz::InputReader;

// One IOCTL call as a fake plugin saw it.
struct IoctlCall {
    int plugin;
    std::vector<uint8_t> packet;
};

std::vector<IoctlCall> calls; // this thread only

template <int N>
int FakeIoctl(void* in, void* out)
{
    auto* parms = static_cast<_IoctlParmsIn*>(in);
    auto* result = static_cast<_IoctlParmsOut*>(out);
    FUZZ_CHECK(parms->command == IOCTL_PARENT && result->error == 0 && result->keep == 0);
    const auto* bytes = static_cast<const uint8_t*>(parms->data);
    calls.push_back({N, std::vector<uint8_t>(bytes, bytes + parms->len)}); // reads every byte given
    // Errors of every kind, so the failure line is formatted too.
    uint32_t reserved = dvr::ReadParentHeader(bytes).reserved;
    result->error = static_cast<int32_t>(reserved & 0xFF);
    return static_cast<int>(reserved >> 24);
}

// The fake table: module indexes 1, 2, 1 again (never reached: the first match wins) and 3 without
// an IOCTL entry.
struct FakePlugin {
    uint32_t id;
    PluginEntryPoint ioctl;
};
const FakePlugin FAKE_PLUGINS[] = {
    {0x00010000, FakeIoctl<0>}, {0x00020000, FakeIoctl<1>}, {0x00010005, FakeIoctl<2>}, {0x00030000, nullptr}};

void InstallFakePlugins(dvrcore& core)
{
    for (const FakePlugin& fake : FAKE_PLUGINS) {
        auto record = std::make_shared<PLUGININFO>();
        record->info.providerID = fake.id;
        record->IOCTL = fake.ioctl;
        record->name = "fake.so";
        core.plugins.Append(record);
    }
}

// What the core must have done with a byte stream, framed independently of its code.
struct Expected {
    std::vector<IoctlCall> calls;
    bool stop = false; // an IPC_STOP packet was framed
    bool parameters = false;
    std::vector<std::string> fields; // of the last parameters packet
};

void ExpectPacket(Expected& expected, const std::vector<uint8_t>& packet)
{
    uint32_t target = 0, command = 0;
    memcpy(&target, packet.data() + 4, 4);
    memcpy(&command, packet.data() + 8, 4);
    if (command == IPC_STOP) {
        expected.stop = true;
        return;
    }
    if (command == IPC_PARAMETERS && packet.size() > PARENT_PACKET_HEADER_SIZE) {
        expected.parameters = true;
        expected.fields.assign(1, "");
        for (size_t i = PARENT_PACKET_HEADER_SIZE; i < packet.size(); ++i) {
            if (packet[i] == 0)
                expected.fields.emplace_back();
            else
                expected.fields.back() += static_cast<char>(packet[i]);
        }
        return;
    }
    for (int i = 0; i < static_cast<int>(std::size(FAKE_PLUGINS)); ++i) {
        if ((target >> 20) != ((FAKE_PLUGINS[i].id >> 16) & 0xFFF))
            continue;
        if (FAKE_PLUGINS[i].ioctl != nullptr)
            expected.calls.push_back({i, packet});
        return;
    }
}

// Appends one receive to the reference stream and takes the whole packets out of it.
void ExpectReceive(Expected& expected, std::vector<uint8_t>& stream, const uint8_t* bytes, size_t count)
{
    stream.insert(stream.end(), bytes, bytes + count);
    while (stream.size() >= PARENT_PACKET_HEADER_SIZE) {
        uint32_t length = 0;
        memcpy(&length, stream.data(), 4);
        if (length < PARENT_PACKET_HEADER_SIZE || length > PARENT_PACKET_MAX_LENGTH) {
            stream.clear();
            return;
        }
        if (length > stream.size())
            return;
        ExpectPacket(expected, std::vector<uint8_t>(stream.begin(), stream.begin() + length));
        stream.erase(stream.begin(), stream.begin() + length);
    }
}

// Runs the core's I/O handlers until the receive that was just fed has been handled.
void RunReceive(dvrcore& core)
{
    size_t handled = core.ioContext.run_one_for(std::chrono::seconds(10));
    FUZZ_CHECK(handled == 1); // a receive that never completes is a hang
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dvr::fuzz::EnterScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    calls.clear();
    auto core = std::make_unique<dvr::fuzz::FuzzCore>();
    InstallFakePlugins(*core);
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
    core->parentSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), ends[0]);
    core->parentLinkOpen = true;
    core->StartParentReceive();

    Expected expected;
    std::vector<uint8_t> stream;
    InputReader input(data, size);
    while (!input.Empty()) {
        // A packet, never empty (an empty packet is the end of the link); one longer than the
        // room left in the core's buffer is cut short by the kernel and must count as a bad length.
        size_t room = PARENT_PACKET_MAX_LENGTH - core->parentReceiveLength;
        size_t count = std::max<uint16_t>(input.Word16(), 1);
        const uint8_t* bytes = input.Bytes(count);
        if (count == 0)
            break;
        FUZZ_CHECK(send(ends[1], bytes, count, MSG_NOSIGNAL) == static_cast<ssize_t>(count));
        if (count > room)
            stream.clear();
        else
            ExpectReceive(expected, stream, bytes, count);
        RunReceive(*core);
        FUZZ_CHECK(core->parentReceiveLength == stream.size());
    }
    FUZZ_CHECK(core->eventQueue.StopRequested() == expected.stop);
    close(ends[1]); // the parent vanishes, possibly in the middle of a packet
    RunReceive(*core);

    FUZZ_CHECK(calls.size() == expected.calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
        FUZZ_CHECK(calls[i].plugin == expected.calls[i].plugin && calls[i].packet == expected.calls[i].packet);
    FUZZ_CHECK(core->eventQueue.StopRequested() && core->lingerBeforeUnload && !core->parentSocket.is_open());
    {
        std::lock_guard lock(core->eventQueue.queueMutex);
        FUZZ_CHECK(core->parentParametersReceived == expected.parameters);
        if (expected.parameters) {
            const std::vector<std::string>& fields = expected.fields;
            FUZZ_CHECK(core->parentFilename == fields[0]);
            FUZZ_CHECK(fields.size() < 2 || core->parentVersion == fields[1]);
            FUZZ_CHECK(fields.size() < 3 || core->backgroundMode == (fields[2] == "Background:true"));
        }
    }
    return 0;
}
