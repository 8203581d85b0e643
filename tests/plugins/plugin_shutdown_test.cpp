// The shutdown steps against plugins whose threads the test holds: reader threads end before
// Close, threads that never end cost at most the wait's limit, and the first-unload plugin is out
// of reach of the I/O thread before its Unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "events/event_callback.h"
#include "ipc/parent_protocol.h"
#include "plugin_test_support.h"
#include "plugins/plugin_info.h"
#include "plugins/plugin_threads.h"
#include "support/bounded_wait.h"
#include "support/recording_core.h"

namespace {

using dvr::test::MakeEvent;
using dvr::test::MakeResult;
using dvr::test::ReadersLeft;
using dvr::test::TestThread;
using dvr::test::WaitOn;
using dvr::test::WaitUntil;

// A door the test opens: plugin calls wait at it, at most WAIT_LIMIT.
class Gate {
public:
    void Open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        opened_.notify_all();
    }
    void Wait()
    {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(WaitOn(
            opened_, lock, [this] { return open_; }, "the test to open the gate"));
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false; // guarded by mutex_
};

// What a fake plugin does in its entry points; set before the call can come.
struct Hooks {
    std::function<void(const _ReadParmsIn&)> read;
    std::function<void(const _IoctlParmsIn&)> ioctl;
    std::function<void()> close;
    std::function<void()> unload;
    std::atomic<int> closes{0};
    std::atomic<int> unloads{0};
};

Hooks hooks[4];

template <int N>
int HookRead(void* in, void*)
{
    if (hooks[N].read)
        hooks[N].read(*static_cast<_ReadParmsIn*>(in));
    return 0;
}

template <int N>
int HookIoctl(void* in, void*)
{
    if (hooks[N].ioctl)
        hooks[N].ioctl(*static_cast<_IoctlParmsIn*>(in));
    return 0;
}

template <int N>
int HookClose(void*, void*)
{
    if (hooks[N].close)
        hooks[N].close();
    ++hooks[N].closes;
    return 0;
}

template <int N>
int HookUnload(void*, void*)
{
    if (hooks[N].unload)
        hooks[N].unload();
    ++hooks[N].unloads;
    return 0;
}

// A plugin record whose entry points are hooks[N]; its handle is a real one, for dlclose.
template <int N>
std::shared_ptr<PLUGININFO> MakeHooked(uint32_t providerID, const std::string& name)
{
    auto plugin = std::make_shared<PLUGININFO>();
    plugin->handle = dlopen(dvr::test::LoadOnlyPlugin().c_str(), RTLD_NOW);
    plugin->name = name;
    plugin->Read = &HookRead<N>;
    plugin->IOCTL = &HookIoctl<N>;
    plugin->Close = &HookClose<N>;
    plugin->Unload = &HookUnload<N>;
    plugin->info.providerID = providerID;
    for (uint32_t& classMask : plugin->info.classMasks)
        classMask = 0xFFFFFFFFu;
    plugin->info.classMasks[5] = 0; // close order by name
    plugin->info.classMasks[6] = 0; // no log lines
    return plugin;
}

// A core whose clock stands still unless the test moves it.
class ClockCore : public dvr::test::RecordingCore {
public:
    std::chrono::steady_clock::time_point Now() override
    {
        std::lock_guard lock(mutex_);
        ++reads_;
        return clock_;
    }

    // Runs action on a thread of its own and, each time the core has read its clock, moves the
    // clock on by step, until action returns: every wait on the clock ends, however slow the
    // machine. Past limit of real time, unblock() must let action return, and the answer is false.
    bool FinishesWhileTheClockMoves(
        const std::function<void()>& action, std::chrono::seconds step, const std::function<void()>& unblock = [] {},
        std::chrono::milliseconds limit = dvr::test::WAIT_LIMIT)
    {
        auto done = std::make_shared<std::atomic<bool>>(false); // the runner may outlive this call
        TestThread runner([action, done] {
            action();
            *done = true;
        });
        const auto giveUp = std::chrono::steady_clock::now() + limit;
        uint64_t seen = Reads();
        while (!*done && std::chrono::steady_clock::now() < giveUp) {
            if (Reads() == seen) {
                std::this_thread::yield();
                continue;
            }
            std::lock_guard lock(mutex_);
            seen = reads_;
            clock_ += step;
        }
        const bool finished = *done;
        if (!finished)
            unblock();
        EXPECT_TRUE(runner.Join("the steps run while the clock moves to return"));
        return finished;
    }

    // Runs action as FinishesWhileTheClockMoves does; fails the test when it does not return.
    void RunWhileTheClockMoves(const std::function<void()>& action, std::chrono::seconds step)
    {
        EXPECT_TRUE(FinishesWhileTheClockMoves(action, step)) << "the steps run while the clock moves did not return";
    }

private:
    uint64_t Reads()
    {
        std::lock_guard lock(mutex_);
        return reads_;
    }

    std::mutex mutex_;
    std::chrono::steady_clock::time_point clock_{std::chrono::hours(1)}; // guarded by mutex_
    uint64_t reads_ = 0;                                                 // guarded by mutex_
};

class PluginShutdown : public ::testing::Test {
protected:
    PluginShutdown() { ResetHooks(); }
    ~PluginShutdown() override
    {
        ResetHooks(); // what the test's hooks captured is gone by now
        // With the clock moving, a plugin thread a failed test left running costs only the waits.
        core.RunWhileTheClockMoves(
            [this] {
                core.ClosePlugins(noLogger);
                core.UnloadPlugins(noLogger);
            },
            std::chrono::seconds(5));
    }

    static void ResetHooks()
    {
        for (Hooks& hook : hooks) {
            hook.read = nullptr;
            hook.ioctl = nullptr;
            hook.close = nullptr;
            hook.unload = nullptr;
            hook.closes = 0;
            hook.unloads = 0;
        }
    }

    void OpenStream(uint32_t streamID)
    {
        _EventParmsIn open = MakeEvent(0, 0x0001, 0x1);
        open.streamID = streamID;
        _EventParmsOut out = MakeResult();
        core.PluginEvent(&open, &out);
    }

    bool InTable(const PLUGININFO* plugin)
    {
        for (const auto& record : *core.plugins.Load())
            if (record.get() == plugin)
                return true;
        return false;
    }

    ClockCore core;
    PluginInfo noLogger{"/nonexistent/no-logger.so", NullEventSink, nullptr};
};

TEST_F(PluginShutdown, ReaderThreadsEndBeforeCloseAndNoneStartsAfterIt)
{
    auto plugin = MakeHooked<0>(0x00210000, "reader.so");
    plugin->info.wantsReads = 1;
    core.plugins.Append(plugin);
    Gate gate;
    std::atomic<int> reads{0};
    std::atomic<int> runningAtClose{-1};
    hooks[0].read = [&](const _ReadParmsIn&) {
        ++reads;
        gate.Wait();
    };
    hooks[0].close = [&] { runningAtClose = static_cast<int>(core.readers.Running(plugin.get())); };

    OpenStream(5);
    ASSERT_TRUE(WaitUntil([&] { return reads == 1; }, "the reader to enter Read"));
    TestThread closing([&] { core.ClosePlugins(noLogger); });
    ASSERT_TRUE(WaitUntil([&] { return core.readers.Retired(plugin.get()) || hooks[0].closes != 0; },
                          "the close steps to retire the readers"));
    OpenStream(6); // a stream opened during the stop
    gate.Open();
    ASSERT_TRUE(closing.Join("the close steps to end once the reader returned"));

    ASSERT_TRUE(ReadersLeft(core.readers, plugin.get(), "the reader to return")); // none outlives its hook's state
    EXPECT_EQ(runningAtClose.load(), 0);
    EXPECT_EQ(reads.load(), 1);
}

// A worker that never returns and a reader that never returns cost their plugins the Unload,
// and the others are unloaded as usual.
TEST_F(PluginShutdown, ThreadsStillRunningAfterTheWaitLeaveTheirPluginLoaded)
{
    auto worker = MakeHooked<0>(0x00210000, "stuck-worker.so");
    auto reader = MakeHooked<1>(0x00220000, "stuck-reader.so");
    reader->info.wantsReads = 1;
    core.plugins.Append(worker);
    core.plugins.Append(reader);
    core.plugins.Append(MakeHooked<2>(0x00230000, "plain.so"));
    Gate gate;
    std::atomic<bool> workerReturned{false};
    std::atomic<bool> reading{false};
    hooks[0].ioctl = [&](const _IoctlParmsIn&) {
        gate.Wait();
        workerReturned = true;
    };
    hooks[1].read = [&](const _ReadParmsIn&) {
        reading = true;
        gate.Wait();
    };
    worker->workerthread = dvr::StartWorkerThread(worker->IOCTL);
    OpenStream(9);
    ASSERT_TRUE(WaitUntil([&] { return reading.load(); }, "the reader to enter Read"));

    core.RunWhileTheClockMoves(
        [&] {
            core.ClosePlugins(noLogger);
            core.UnloadPlugins(noLogger);
        },
        std::chrono::seconds(5));

    EXPECT_TRUE(core.Logged("plugin stuck-reader.so: 1 reader thread still in Read after 10 s; closing it anyway"));
    EXPECT_TRUE(
        core.Logged("plugin stuck-reader.so: 1 reader thread still running after 10 s; left loaded without Unload"));
    EXPECT_TRUE(
        core.Logged("plugin stuck-worker.so: worker thread still running after 10 s; left loaded without Unload"));
    EXPECT_EQ(hooks[0].closes + hooks[1].closes + hooks[2].closes, 3);
    EXPECT_EQ(hooks[0].unloads.load(), 0);
    EXPECT_EQ(hooks[1].unloads.load(), 0);
    EXPECT_EQ(hooks[2].unloads.load(), 1);
    EXPECT_TRUE(core.plugins.Empty());

    gate.Open(); // the threads left behind end before the hooks they run go away
    ASSERT_TRUE(WaitUntil([&] { return workerReturned && core.readers.Running(reader.get()) == 0; },
                          "the worker and the reader left behind to return once the gate opened"));
}

// A Close or Unload that never returns costs the wait's limit and its own plugin, which stays
// mapped; the first-unload plugin is bounded the same way, and the rest of the sequence goes on.
TEST_F(PluginShutdown, CloseOrUnloadStillRunningAfterTheWaitLeavesItsPluginMapped)
{
    auto first = MakeHooked<0>(PROVIDER_ID_UNLOADED_FIRST, "first.so");
    auto stuckClose = MakeHooked<1>(0x00210000, "stuck-close.so");
    auto stuckUnload = MakeHooked<2>(0x00220000, "stuck-unload.so");
    auto plain = MakeHooked<3>(0x00230000, "plain.so");
    for (const auto& plugin : {first, stuckClose, stuckUnload, plain})
        core.plugins.Append(plugin);
    Gate gate;
    hooks[0].close = [&] { gate.Wait(); };
    hooks[1].close = [&] { gate.Wait(); };
    hooks[2].unload = [&] { gate.Wait(); };
    // Its worker would end after Close: with Close stuck it is not waited for.
    std::atomic<bool> workerReturned{false};
    hooks[1].ioctl = [&](const _IoctlParmsIn&) {
        gate.Wait();
        workerReturned = true;
    };
    stuckClose->workerthread = dvr::StartWorkerThread(stuckClose->IOCTL);

    const bool finished = core.FinishesWhileTheClockMoves(
        [&] {
            core.UnloadFirstPlugin();
            core.ClosePlugins(noLogger);
            core.UnloadPlugins(noLogger);
        },
        std::chrono::seconds(5), [&] { gate.Open(); });
    ASSERT_TRUE(finished) << "the shutdown steps waited for a call that never returns";

    EXPECT_TRUE(core.Logged("plugin first.so: Close still running after 10 s; left loaded without Unload"));
    EXPECT_TRUE(core.Logged("plugin stuck-close.so: Close still running after 10 s; left loaded without Unload"));
    EXPECT_TRUE(core.Logged("plugin stuck-unload.so: Unload still running after 10 s; left mapped"));
    EXPECT_FALSE(core.Logged("plugin stuck-close.so: worker thread"));
    EXPECT_EQ(hooks[0].unloads + hooks[1].unloads, 0);
    EXPECT_EQ(hooks[2].closes + hooks[3].closes + hooks[3].unloads, 3);
    EXPECT_NE(first->handle, nullptr);
    EXPECT_NE(stuckClose->handle, nullptr);
    EXPECT_NE(stuckUnload->handle, nullptr);
    EXPECT_EQ(plain->handle, nullptr);
    EXPECT_TRUE(core.plugins.Empty());

    gate.Open(); // the calls left behind end before the hooks they run go away
    EXPECT_TRUE(WaitUntil(
        [&] { return hooks[0].closes == 1 && hooks[1].closes == 1 && hooks[2].unloads == 1 && workerReturned; },
        "the calls left behind to return"));
}

TEST_F(PluginShutdown, FirstUnloadPluginLeavesTheTableAndTheIoThreadBeforeUnload)
{
    auto first = MakeHooked<0>(PROVIDER_ID_UNLOADED_FIRST, "first.so");
    core.plugins.Append(first);
    Gate gate;
    std::atomic<int> packets{0};
    std::atomic<bool> inIoctl{false};
    std::atomic<bool> ioctlAtUnload{true};
    std::atomic<bool> inTableAtUnload{true};
    hooks[0].ioctl = [&](const _IoctlParmsIn& parms) {
        if (parms.command != IOCTL_PARENT)
            return;
        ++packets;
        inIoctl = true;
        gate.Wait();
        inIoctl = false;
    };
    hooks[0].unload = [&] {
        ioctlAtUnload = inIoctl.load();
        inTableAtUnload = InTable(first.get());
    };
    auto keepRunning = boost::asio::make_work_guard(core.ioContext);
    TestThread ioThread([&] { core.ioContext.run(); });
    core.ioThreadRunning = true;
    std::vector<uint8_t> packet = dvr::MakeParentPacket(PROVIDER_ID_UNLOADED_FIRST << 4, 1, "x", 1);
    auto sendPacket = [&] {
        boost::asio::post(core.ioContext, [&] { core.DispatchParentPacket(packet.data(), packet.size()); });
    };

    sendPacket();
    ASSERT_TRUE(WaitUntil([&] { return inIoctl.load(); }, "the packet to reach the plugin's IOCTL"));
    TestThread unloading([&] { core.UnloadFirstPlugin(); });
    ASSERT_TRUE(WaitUntil([&] { return hooks[0].unloads != 0 || !InTable(first.get()); },
                          "the plugin to leave the table or be unloaded"));
    gate.Open();
    ASSERT_TRUE(unloading.Join("the unload to end once the IOCTL returned"));
    sendPacket(); // the plugin is gone: nobody takes it
    TestThread drained([&] { core.WaitForIoThread(); });
    ASSERT_TRUE(drained.Join("the I/O thread to handle the second packet"));

    EXPECT_EQ(hooks[0].unloads.load(), 1);
    EXPECT_FALSE(ioctlAtUnload.load());
    EXPECT_FALSE(inTableAtUnload.load());
    EXPECT_EQ(packets.load(), 1);
    keepRunning.reset();
    core.ioContext.stop();
    ASSERT_TRUE(ioThread.Join("the I/O thread to return after the stop"));
    core.ioThreadRunning = false;
}

} // namespace
